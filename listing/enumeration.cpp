#include "listing/enumeration.h"

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "listing/mlsd.h"
#include "listing/parser.h"
#include "listing/words.h"
#include "platform/tempfile.h"
#include "platform/time.h"
#include "session/session.h"
#include "util/text.h"

namespace {

enum {
    FIRST_ARENA_SIZE = 64 * 1024,
    ENTRY_ALIGN = 8,   // every StoredEntry starts on this, so its 64-bit size is aligned
};

// The lengths of the texts fit the fixed part's fields.
static_assert(LISTING_OWNER_SIZE <= 256 && LISTING_GROUP_SIZE <= 256, "owner and group lengths fit 8 bits");
static_assert(LISTING_NAME_SIZE <= 65536 && LISTING_LINK_SIZE <= 65536, "name and link lengths fit 16 bits");
static_assert((int)LISTING_LINK_SIZE <= (int)LISTING_LINK_LENGTH_MASK, "a link's length leaves the top bit free");
static_assert(2 * LISTING_NAME_SIZE <= 65536, "a name and the server's name fit the 16-bit name length");

int32_t g_entry_limit = INT32_MAX;

size_t text_length(const char *text, size_t field_size)
{
    return strnlen(text, field_size - 1);
}

// The bytes one kept entry takes in the arena, up to the start of the next.
size_t entry_span(size_t name, size_t link, size_t owner, size_t group)
{
    size_t bytes = sizeof(StoredEntry) + name + link + owner + group + 4;
    return (bytes + ENTRY_ALIGN - 1) & ~(size_t)(ENTRY_ALIGN - 1);
}

size_t span_of(const StoredEntry *entry)
{
    size_t span = entry_span(entry->name_length, entry_link_length(entry), entry->owner_length, entry->group_length);
    if (!(entry->link_length & LISTING_SERVER_NAME_FOLLOWS))
        return span;
    size_t server = strlen(entry_group(entry) + entry->group_length + 1);
    return entry_span(entry->name_length + server + 1, entry_link_length(entry), entry->owner_length,
                      entry->group_length);
}

// Makes room for `bytes` more at the end of the arena, doubling it; false when it cannot
// grow, which leaves it and the entries in it as they were.
bool make_room(ListingStore *store, size_t bytes)
{
    size_t size = store->arena_size;
    if (store->entry_arena && bytes <= size - store->arena_used)
        return true;
    size_t wanted = store->arena_used + bytes;
    if (wanted < bytes)
        return false;
    if (size < FIRST_ARENA_SIZE)
        size = FIRST_ARENA_SIZE;
    while (size < wanted) {
        if (size > SIZE_MAX / 2)
            return false;
        size *= 2;
    }
    void *grown = realloc(store->entry_arena, size);
    if (!grown)
        return false;
    store->entry_arena = (char *)grown;
    store->arena_size = size;
    return true;
}

char *put_text(char *to, const char *text, size_t length)
{
    memcpy(to, text, length);
    to[length] = '\0';
    return to + length + 1;
}

int list_fail(FtpSession *session, ListingStore *store)
{
    session_close_data(session);
    store->cursor = LISTING_CURSOR_FAILED;
    return -1;
}

// The file type an Index line gives its name: the fourth word as a positive size, or the
// third as "0", marks a file; "dir" as the fourth word marks a directory. 0 when the line
// decides nothing or has fewer than four words. name receives the rest of the line.
int index_line_type(const char *line, char *name, size_t name_size)
{
    ListingWord words[4];
    const char *p = line;
    for (ListingWord &word : words)
        if (!listing_scan_word(&p, &word))
            return 0;
    text_copy(name, name_size, listing_skip_blanks(p));
    char size[LISTING_INDEX_LINE_SIZE];
    text_copy_n(size, sizeof size, words[3].start, words[3].length);
    if (text_to_int(size) > 0 || (words[2].length == 1 && words[2].start[0] == '0'))
        return LISTING_TYPE_FILE;
    if (words[3].length == 3 && memcmp(words[3].start, "dir", 3) == 0)
        return LISTING_TYPE_DIR;
    return 0;
}

// Parses one listing line into the scratch record and packs it into the store. A listing
// with entries missing would pass for the whole directory: once an entry cannot be kept,
// the rest of the data is only read, to keep the connection in step.
void keep_line(FtpSession *session, ListingStore *store, char *line, ListingEntry *scratch, const struct tm *now,
               bool mlsd, bool *complete)
{
    if (!*complete)
        return;
    if (mlsd ? parse_mlsd_line(line, scratch) != MLSD_ENTRY
             : strncmp(line, "total", 5) == 0 || parse_listing_line_at(line, scratch, now) != 0)
        return;
    if (!session->convert_names) {
        if (list_keep_entry(store, scratch) != 0)
            *complete = false;
        return;
    }
    // Names in the caller's set; where one cannot be shown whole, the server's own bytes
    // are kept beside it. A name whose conversion does not fit is no entry of ours.
    char server_name[LISTING_NAME_SIZE];
    char link[LISTING_LINK_SIZE];
    int lossy = 0;
    text_copy(server_name, sizeof server_name, scratch->name);
    if (session_name_from_server(session, server_name, scratch->name, sizeof scratch->name, &lossy) != 0 ||
        scratch->name[0] == '\0')
        return;
    text_copy(link, sizeof link, scratch->link_target);
    if (session_name_from_server(session, link, scratch->link_target, sizeof scratch->link_target, nullptr) != 0)
        scratch->link_target[0] = '\0';
    if (list_keep_named_entry(store, scratch, lossy ? server_name : nullptr) != 0)
        *complete = false;
}

void apply_index_line(ListingStore *store, char *line)
{
    cut_at_line_end(line);
    char name[LISTING_INDEX_NAME_SIZE];
    int type = index_line_type(line, name, sizeof name);
    if (type == 0)
        return;
    for (const StoredEntry *entry = list_first(store); entry; entry = list_after(store, entry)) {
        if (strcmp(entry_name(entry), name) == 0) {
            // The arena is the store's own; only this step changes a kept entry.
            StoredEntry *kept = (StoredEntry *)entry;
            kept->mode = (uint16_t)((kept->mode & 0x0FFF) | type);
            return;
        }
    }
}


// Cuts a listing into lines at LF, CR LF or a CR alone: servers that end lines in CR
// alone exist, and reading such a listing by LF only would see one line. A line too long
// for the parser, or with a NUL byte in it (its name cut there would name another file),
// is dropped whole. A complete line is handed out with a single LF as its end.
enum { LISTING_BLOCK_SIZE = 16 * 1024 };

struct LineSplit {
    char line[LISTING_LINE_LIMIT + 1];
    size_t length = 0;
    bool dropped = false;    // the line under way is too long or holds a NUL
    bool after_cr = false;   // the last line ended in CR: an LF right behind it is its end
    bool ready = false;      // line holds a complete line
};

// Takes bytes until a line is complete (split->ready) or the bytes run out; how many
// were taken.
int split_feed(LineSplit *split, const char *bytes, int count)
{
    for (int i = 0; i < count; i++) {
        char c = bytes[i];
        if (split->after_cr) {
            split->after_cr = false;
            if (c == '\n')
                continue;
        }
        if (c == '\n' || c == '\r') {
            split->after_cr = c == '\r';
            bool keep = !split->dropped;
            split->line[split->length] = '\n';
            split->line[split->length + 1] = '\0';
            split->length = 0;
            split->dropped = false;
            split->ready = keep;
            if (keep)
                return i + 1;
            continue;
        }
        if (split->dropped)
            continue;
        if (c == '\0' || split->length + 1 >= LISTING_LINE_LIMIT) {
            split->dropped = true;
            continue;
        }
        split->line[split->length++] = c;
    }
    return count;
}

// The end of the data: true when a last line without its line end is waiting.
bool split_finish(LineSplit *split)
{
    if (split->dropped || split->length == 0)
        return false;
    split->line[split->length] = '\n';
    split->line[split->length + 1] = '\0';
    split->length = 0;
    return true;
}

// The byte count a 150 reply announces as "(N bytes", -1 when it names none.
int64_t announced_listing_size(const char *line)
{
    const char *p = strchr(line, '(');
    int64_t value;
    if (!p || text_to_int64(p + 1, &value, &p) <= 0)
        return -1;
    return strncmp(p, " bytes", 6) == 0 ? value : -1;
}

// Opens the data connection and sends the listing command: the reply code that answered
// it, or -1 when nothing could be asked (no data connection, a command that cannot go out
// such as a path with a line break: waiting for its data connection would never end).
int start_listing(FtpSession *session, const char *verb, const char *path)
{
    if (session_open_data(session) != 0)
        return -1;
    int sent = path[0] != '\0' ? session_send(session, "%s %s\r\n", verb, path) : session_send(session, "%s\r\n", verb);
    if (sent != 0 || session_accept_data(session) != 0)
        return -1;
    return session_reply(session);
}

}  // namespace

int list_directory(FtpSession *session, ListingStore *store, const char *path)
{
    if (!session || !store)
        return -1;
    if (!path)
        path = "";
    store->entry_count = 0;
    store->arena_used = 0;
    store->cursor_at = 0;
    if (strlen(path) > LISTING_PATH_LIMIT)
        return list_fail(session, store);
    // MLSD where the server offers it: exact sizes and UTC times. A refusal of it (a
    // wildcard or a file as its argument, a server that offers what it does not do) is
    // answered with LIST at once; a server that does not know the command is not asked
    // again.
    bool mlsd = session->use_mlsd && (session->features & SESSION_FEATURE_MLST) && !session->mlsd_refused;
    int reply = start_listing(session, mlsd ? "MLSD" : "LIST", path);
    if (mlsd && reply >= 500 && reply <= 599) {
        if (reply == 500 || reply == 502)
            session->mlsd_refused = 1;
        session_close_data(session);
        mlsd = false;
        reply = start_listing(session, "LIST", path);
    }
    if (reply < 0)
        return list_fail(session, store);
    if (reply != 150 && reply != 125) {
        session_refused(session, FAILURE_SERVER);
        return list_fail(session, store);
    }

    struct tm now;
    listing_now(&now);
    // One parsed line at a time; the store keeps only what it holds.
    ListingEntry scratch;
    bool complete = true;
    // Every line of one reply is read in the zone it began in; the parser asks for the
    // offset once per line, and looking at TZ each time was a tenth of a listing's work.
    platform_zone_offset_hold(1);
    LineSplit split;
    char block[LISTING_BLOCK_SIZE];
    int got;
    int64_t received = 0;
    while ((got = stream_receive(session->data, block, (int)sizeof block)) > 0) {
        received += got;
        for (int at = 0; at < got;) {
            int used = split_feed(&split, block + at, got - at);
            at += used;
            if (split.ready) {
                keep_line(session, store, split.line, &scratch, &now, mlsd, &complete);
                split.ready = false;
            }
        }
    }
    // A listing cut short (a failed receive, a reset, a data connection that was not TLS
    // although PROT P was granted, or an end without TLS's closing alert that no announced
    // size confirms) is no listing: its last line may be cut ("big.b" for "big.bin").
    int64_t announced = announced_listing_size(session->reply);
    bool cut = got < 0 || (session->data->ended_unclean && announced != received);
    // The last line of a listing whose final line end is missing.
    if (!cut && split_finish(&split))
        keep_line(session, store, split.line, &scratch, &now, mlsd, &complete);
    platform_zone_offset_hold(0);
    session_close_data(session);

    // Servers end a listing with 226 or, as RFC 959 allows, 250.
    reply = session_final_reply(session);
    if (reply != 226 && reply != 250)
        session_refused(session, FAILURE_SERVER);
    else if (cut)
        failure_note(&session->failure, FAILURE_PROTOCOL, "the listing's data connection ended early");
    if ((reply != 226 && reply != 250) || !complete || cut)
        return list_fail(session, store);
    store->cursor = -1;
    if (session->use_index_file)
        apply_index_file(session, store, path);
    return 0;
}

int apply_index_file(FtpSession *session, ListingStore *store, const char *path)
{
    if (!session || !store || !path)
        return -1;
    char remote[LISTING_INDEX_REMOTE_SIZE];
    size_t length = strlen(path);
    const char *separator = length == 0 || path[length - 1] == '/' ? "" : "/";
    if (text_format(remote, sizeof remote, "%s%sIndex", path, separator) != 0)
        return -1;

    char local[LISTING_INDEX_REMOTE_SIZE];
    if (platform_temp_file("kix", local, sizeof local) != 0)
        return -1;
    // A restart offset the caller set belongs to the caller's next transfer, not to
    // this download.
    int64_t caller_offset = session->resume_offset;
    session->resume_offset = 0;
    int got = session_get_file(session, remote, local, "b");
    session->resume_offset = caller_offset;
    if (got != 0) {
        remove(local);
        return -1;
    }
    FILE *file = fopen(local, "r");
    if (!file) {
        remove(local);
        return -1;
    }
    char line[LISTING_INDEX_LINE_SIZE];
    while (fgets(line, sizeof line, file))
        apply_index_line(store, line);
    fclose(file);
    remove(local);
    return 0;
}

const char *entry_name(const StoredEntry *entry)
{
    return (const char *)(entry + 1);
}

const char *entry_link_target(const StoredEntry *entry)
{
    return entry_name(entry) + entry->name_length + 1;
}

size_t entry_link_length(const StoredEntry *entry)
{
    return entry->link_length & LISTING_LINK_LENGTH_MASK;
}

const char *entry_owner(const StoredEntry *entry)
{
    return entry_link_target(entry) + entry_link_length(entry) + 1;
}

const char *entry_group(const StoredEntry *entry)
{
    return entry_owner(entry) + entry->owner_length + 1;
}

const char *entry_server_name(const StoredEntry *entry)
{
    if (!(entry->link_length & LISTING_SERVER_NAME_FOLLOWS))
        return entry_name(entry);
    return entry_group(entry) + entry->group_length + 1;
}

const char *list_server_name(const void *context, const char *shown)
{
    const ListingStore *store = (const ListingStore *)context;
    if (!store || !shown)
        return nullptr;
    for (const StoredEntry *entry = list_first(store); entry; entry = list_after(store, entry))
        if ((entry->link_length & LISTING_SERVER_NAME_FOLLOWS) && strcmp(entry_name(entry), shown) == 0)
            return entry_server_name(entry);
    return nullptr;
}

int listing_store_clear(ListingStore *store)
{
    if (!store || !store->entry_arena)
        return 0;
    free(store->entry_arena);
    store->entry_arena = nullptr;
    store->arena_used = 0;
    store->arena_size = 0;
    store->entry_count = 0;
    store->cursor = -1;
    store->cursor_at = 0;
    return 0;
}

int list_keep_entry(ListingStore *store, const ListingEntry *entry)
{
    return list_keep_named_entry(store, entry, nullptr);
}

int list_keep_named_entry(ListingStore *store, const ListingEntry *entry, const char *server_name)
{
    if (!store || !entry || store->entry_count >= g_entry_limit)
        return -1;
    size_t name = text_length(entry->name, sizeof entry->name);
    size_t link = text_length(entry->link_target, sizeof entry->link_target);
    size_t owner = text_length(entry->owner, sizeof entry->owner);
    size_t group = text_length(entry->group, sizeof entry->group);
    size_t server = server_name ? text_length(server_name, LISTING_NAME_SIZE) : 0;
    // The server's name takes the room of a longer name in the span (see span_of).
    size_t span = entry_span(name + (server_name ? server + 1 : 0), link, owner, group);
    if (!make_room(store, span))
        return -1;
    StoredEntry *kept = (StoredEntry *)(store->entry_arena + store->arena_used);
    kept->size = entry->size;
    kept->mtime = entry->mtime;
    kept->mode = entry->status.st_mode;
    kept->name_length = (uint16_t)name;
    kept->link_length = (uint16_t)(link | (server_name ? LISTING_SERVER_NAME_FOLLOWS : 0));
    kept->owner_length = (uint8_t)owner;
    kept->group_length = (uint8_t)group;
    char *text = (char *)(kept + 1);
    text = put_text(text, entry->name, name);
    text = put_text(text, entry->link_target, link);
    text = put_text(text, entry->owner, owner);
    text = put_text(text, entry->group, group);
    if (server_name)
        put_text(text, server_name, server);
    store->arena_used += span;
    store->entry_count++;
    return 0;
}

const StoredEntry *next_entry(ListingStore *store)
{
    if (!store || store->cursor == LISTING_CURSOR_FAILED)
        return nullptr;
    // Only a listing moves the cursor anywhere but forward from -1.
    assert(store->cursor >= -1);
    if (store->cursor == -1)
        store->cursor_at = 0;
    else if (store->cursor < store->entry_count)
        store->cursor_at += span_of(current_entry(store));
    if (store->cursor < INT32_MAX)
        store->cursor++;
    return current_entry(store);
}

const StoredEntry *current_entry(const ListingStore *store)
{
    if (!store || !store->entry_arena || store->cursor < 0 || store->cursor >= store->entry_count)
        return nullptr;
    assert(store->cursor_at + sizeof(StoredEntry) <= store->arena_used);
    return (const StoredEntry *)(store->entry_arena + store->cursor_at);
}

int listing_failed(const ListingStore *store)
{
    return store && store->cursor == LISTING_CURSOR_FAILED ? 1 : 0;
}

void list_set_entry_limit(int32_t limit)
{
    g_entry_limit = limit > 0 ? limit : INT32_MAX;
}

const StoredEntry *list_first(const ListingStore *store)
{
    if (!store || !store->entry_arena || store->entry_count <= 0)
        return nullptr;
    return (const StoredEntry *)store->entry_arena;
}

const StoredEntry *list_after(const ListingStore *store, const StoredEntry *entry)
{
    if (!store || !entry)
        return nullptr;
    size_t next = (size_t)((const char *)entry - store->entry_arena) + span_of(entry);
    if (next >= store->arena_used)
        return nullptr;
    return (const StoredEntry *)(store->entry_arena + next);
}

int32_t list_entry_count(const ListingStore *store)
{
    return store && store->entry_arena ? store->entry_count : 0;
}
