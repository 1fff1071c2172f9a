// A remote directory read into the session: LIST over a fresh data connection, every
// line parsed into one reusable ListingEntry and packed from there into the session's
// entry store, in the order of the reply, and a cursor that walks them once. After a
// complete listing the directory's "Index" file, when the server has one, corrects which
// entries are files and which are directories.
//
// The store is one arena that belongs to the session: each entry is a StoredEntry
// followed by its four texts at their real length, so a listing costs what its lines
// hold rather than a fixed 2.6 KB per line. list_directory grows the arena (realloc,
// doubling), a new listing reuses it from the start, and only session_clear_listing
// (which session_destroy calls) releases it (free). Pointers into it hold until the next
// listing or the clear.
#pragma once

#include <cstdint>

#include "listing/listing_entry.h"

struct FtpSession;

// The fixed part of a kept entry. Its texts follow it in the arena, each ending in NUL:
// name, link target, owner, group (read them through the entry_ calls below).
struct StoredEntry {
    int64_t size;          // as the server gave it
    int64_t mtime;         // seconds since 1970 as the server gave it, negative before
    uint16_t mode;         // file type and permission bits, as the parser set them
    uint16_t name_length;  // the texts' lengths, NUL not counted
    uint16_t link_length;
    uint8_t owner_length;
    uint8_t group_length;
};

const char *entry_name(const StoredEntry *entry);
const char *entry_link_target(const StoredEntry *entry);
const char *entry_owner(const StoredEntry *entry);
const char *entry_group(const StoredEntry *entry);

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
const StoredEntry *next_entry(FtpSession *session);

// The entry under the cursor, or null when there is none.
const StoredEntry *current_entry(const FtpSession *session);

// 1 when the session's last listing failed, 0 when it succeeded or none was made: an
// empty directory and a refused LIST both leave no entry, and only this tells them apart.
int listing_failed(const FtpSession *session);

// The most entries one listing may hold (0 or less: no limit but memory). A longer
// listing fails as one that runs out of memory does; tests use it to reach that path.
void list_set_entry_limit(int32_t limit);

// Walks every entry the last listing kept (a failed one included), in order, without
// moving the cursor: list_first gives the first or null, list_after the one behind entry
// or null after the last.
const StoredEntry *list_first(const FtpSession *session);
const StoredEntry *list_after(const FtpSession *session, const StoredEntry *entry);

// Packs a parsed entry at the end of the session's listing: 0, or -1 when the entry
// limit is reached or the arena cannot grow (the listing then stays as it was). The
// entry's texts must end within their fields.
int list_keep_entry(FtpSession *session, const ListingEntry *entry);
// The number of entries the last listing kept (a failed one included); 0 for null.
int32_t list_entry_count(const FtpSession *session);
