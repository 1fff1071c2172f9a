// A remote directory read through a session into a store: LIST over a fresh data
// connection, every line parsed into one reusable ListingEntry and packed from there into
// the entry store, in the order of the reply, and a cursor that walks them once. After a
// complete listing the directory's "Index" file, when the server has one, corrects which
// entries are files and which are directories.
//
// The store is one arena that belongs to the handle: each entry is a StoredEntry
// followed by its four texts at their real length, so a listing costs what its lines
// hold rather than a fixed 2.6 KB per line. list_directory grows the arena (realloc,
// doubling), a new listing reuses it from the start, and only listing_store_clear
// (which the handle calls when it goes) releases it (free). Pointers into it hold until
// the next listing or the clear.
#pragma once

#include <cstddef>
#include <cstdint>

#include "listing/listing_entry.h"

struct FtpSession;

// The entries of the last listing: one arena of packed entries, the bytes of it in use,
// its size, and where the cursor's entry starts. All zero is an empty store.
struct ListingStore {
    char *entry_arena;
    size_t arena_used;
    size_t arena_size;
    int32_t entry_count;
    int32_t cursor;
    size_t cursor_at;
};

// Releases the arena: no entries, cursor -1. Always 0; a store without entries (or a
// null one) is left as it is.
int listing_store_clear(ListingStore *store);

// The fixed part of a kept entry. Its texts follow it in the arena, each ending in NUL:
// name, link target, owner, group (read them through the entry_ calls below).
struct StoredEntry {
    int64_t size;          // as the server gave it
    int64_t mtime;         // seconds since 1970 as the server gave it, negative before
    uint16_t mode;         // file type and permission bits, as the parser set them
    uint16_t name_length;  // the texts' lengths, NUL not counted
    uint16_t link_length;  // with LISTING_SERVER_NAME_FOLLOWS when the server's name follows
    uint8_t owner_length;
    uint8_t group_length;
};

const char *entry_name(const StoredEntry *entry);
const char *entry_link_target(const StoredEntry *entry);
size_t entry_link_length(const StoredEntry *entry);
// The name as the server has it: the shown name, unless that could not show every
// character in the caller's set (its '?' then stand for them), when the server's own bytes
// follow the group as a fifth text.
const char *entry_server_name(const StoredEntry *entry);
enum { LISTING_SERVER_NAME_FOLLOWS = 0x8000, LISTING_LINK_LENGTH_MASK = 0x7FFF };
const char *entry_owner(const StoredEntry *entry);
const char *entry_group(const StoredEntry *entry);

enum {
    LISTING_PATH_LIMIT = 999,      // longest path or LIST argument, in characters
    LISTING_INDEX_LINE_SIZE = 1000,  // an Index line holds 999 characters and NUL
    LISTING_INDEX_NAME_SIZE = 1004,
    LISTING_INDEX_REMOTE_SIZE = 1000,
};

// The cursor of a store whose last listing failed: no entry is current, and stepping
// does not move it, until the next listing.
const int32_t LISTING_CURSOR_FAILED = INT32_MIN;

// Lists the remote directory `path` ("" for the current one; any argument the server's
// LIST takes) into the store. 0 when the server delivered a complete listing: the
// cursor then stands before the first entry. -1 when it did not (no data connection, a
// refused LIST, a final reply other than 226 or 250, a cancel, a path of more than
// LISTING_PATH_LIMIT characters, an entry that could not be kept for want of memory):
// the entries read so far stay counted, but the cursor marks the listing as failed, so
// no entry is current.
int list_directory(FtpSession *session, ListingStore *store, const char *path);

// Downloads path's "Index" file into a private temporary file, lets it correct entry
// types, and deletes the copy on every path. 0 when an index was read, -1 when there is
// none or it cannot be read; the listing is never worse for it. list_directory runs it.
int apply_index_file(FtpSession *session, ListingStore *store, const char *path);

// Steps the cursor and gives the entry it lands on, or null past the end (the cursor
// goes on counting) or after a failed listing (the cursor stays where it is).
const StoredEntry *next_entry(ListingStore *store);

// The entry under the cursor, or null when there is none.
const StoredEntry *current_entry(const ListingStore *store);

// 1 when the store's last listing failed, 0 when it succeeded or none was made: an
// empty directory and a refused LIST both leave no entry, and only this tells them apart.
int listing_failed(const ListingStore *store);

// The most entries one listing may hold (0 or less: no limit but memory). A longer
// listing fails as one that runs out of memory does; tests use it to reach that path.
void list_set_entry_limit(int32_t limit);

// Walks every entry the last listing kept (a failed one included), in order, without
// moving the cursor: list_first gives the first or null, list_after the one behind entry
// or null after the last.
const StoredEntry *list_first(const ListingStore *store);
const StoredEntry *list_after(const ListingStore *store, const StoredEntry *entry);

// Packs a parsed entry at the end of the store's listing: 0, or -1 when the entry
// limit is reached or the arena cannot grow (the listing then stays as it was). The
// entry's texts must end within their fields.
int list_keep_entry(ListingStore *store, const ListingEntry *entry);
// The same with the server's own name beside the shown one (null: the same).
int list_keep_named_entry(ListingStore *store, const ListingEntry *entry, const char *server_name);
// The server's own name of the first entry of the store whose shown name is `shown` and
// differs from it; null when there is none. Commands find the bytes a name the caller's
// set cannot show stands for through it (the store is passed as const void *).
const char *list_server_name(const void *store, const char *shown);
// The number of entries the last listing kept (a failed one included); 0 for null.
int32_t list_entry_count(const ListingStore *store);
