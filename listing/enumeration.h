// A remote directory read into the session: LIST over a fresh data connection, every
// line parsed into a ListingEntry, the entries kept in the session's array in the order
// of the reply, and a cursor that walks them once. After a complete listing the
// directory's "Index" file, when the server has one, corrects which entries are files
// and which are directories.
//
// The array belongs to the session: list_directory grows it (realloc), and only
// session_clear_listing (which session_destroy calls) releases it (free).
#pragma once

#include <cstdint>

#include "listing/listing_entry.h"

struct FtpSession;

enum {
    LISTING_PATH_LIMIT = 999,      // longest path or LIST argument, in characters
    LISTING_INDEX_LINE_SIZE = 1000,  // an Index line holds 999 characters and NUL
    LISTING_INDEX_NAME_SIZE = 1004,
    LISTING_INDEX_REMOTE_SIZE = 1000,
};

// The cursor of a session whose last listing failed: no entry is current, and stepping
// does not move it, until the next listing.
const int32_t LISTING_CURSOR_FAILED = INT32_MIN;

// Lists the remote directory `path` ("" for the current one; any argument the server's
// LIST takes) into the session. 0 when the server delivered a complete listing: the
// cursor then stands before the first entry. -1 when it did not (no data connection, a
// refused LIST, a final reply other than 226 or 250, a cancel, a path of more than
// LISTING_PATH_LIMIT characters, an entry that could not be kept for want of memory):
// the entries read so far stay counted, but the cursor marks the listing as failed, so
// no entry is current.
int list_directory(FtpSession *session, const char *path);

// Downloads path's "Index" file into a private temporary file, lets it correct entry
// types, and deletes the copy on every path. 0 when an index was read, -1 when there is
// none or it cannot be read; the listing is never worse for it. list_directory runs it.
int apply_index_file(FtpSession *session, const char *path);

// Steps the cursor and gives the entry it lands on, or null past the end (the cursor
// goes on counting) or after a failed listing (the cursor stays where it is).
const ListingEntry *next_entry(FtpSession *session);

// The entry under the cursor, or null when there is none.
const ListingEntry *current_entry(const FtpSession *session);

// 1 when the session's last listing failed, 0 when it succeeded or none was made: an
// empty directory and a refused LIST both leave no entry, and only this tells them apart.
int listing_failed(const FtpSession *session);

// The most entries one listing may hold (0 or less: no limit but memory). A longer
// listing fails as one that runs out of memory does; tests use it to reach that path.
void list_set_entry_limit(int32_t limit);

// The entry at index (0 .. count-1) of the last listing, or null; the cursor stays.
const ListingEntry *list_entry(const FtpSession *session, int32_t index);
// The number of entries the last listing kept (a failed one included); 0 for null.
int32_t list_entry_count(const FtpSession *session);
