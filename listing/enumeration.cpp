#include "listing/enumeration.h"

#include <cassert>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "listing/parser.h"
#include "platform/tempfile.h"
#include "platform/time.h"
#include "session/session.h"
#include "util/text.h"

namespace {

enum { FIRST_CAPACITY = 16 };

int32_t g_entry_limit = INT32_MAX;

// The array's capacity is never stored: it follows from the count alone. A listing
// starts over at FIRST_CAPACITY entries (whatever an earlier listing left allocated)
// and doubles whenever the count reaches a power of two from there on, so n entries
// cost about log2(n) reallocations instead of n.
bool needs_growth(int32_t count)
{
    return count == 0 || (count >= FIRST_CAPACITY && (count & (count - 1)) == 0);
}

// Makes room for entry number `count`; false when the array cannot grow, which leaves
// it and the entries in it as they were.
bool make_room(FtpSession *session)
{
    int32_t count = session->entry_count;
    if (count >= g_entry_limit)
        return false;
    if (!needs_growth(count))
        return true;
    size_t capacity = count == 0 ? (size_t)FIRST_CAPACITY : (size_t)count * 2;
    if (capacity > SIZE_MAX / sizeof(ListingEntry))
        return false;
    void *grown = realloc(session->entries, capacity * sizeof(ListingEntry));
    if (!grown)
        return false;
    session->entries = (ListingEntry *)grown;
    return true;
}

int list_fail(FtpSession *session)
{
    session_close_data(session);
    session->cursor = LISTING_CURSOR_FAILED;
    return -1;
}

// Takes the next blank-separated word of *cursor into word (size bytes) as "%s" would;
// false when the text has no further word.
bool take_word(const char **cursor, char *word, size_t size)
{
    const char *p = *cursor;
    while (*p != '\0' && isspace((unsigned char)*p))
        p++;
    if (*p == '\0')
        return false;
    const char *start = p;
    while (*p != '\0' && !isspace((unsigned char)*p))
        p++;
    text_copy_n(word, size, start, (size_t)(p - start));
    *cursor = p;
    return true;
}

// The file type an Index line gives its name: the fourth word as a positive size, or the
// third as "0", marks a file; "dir" as the fourth word marks a directory. 0 when the line
// decides nothing or has fewer than four words. name receives the rest of the line.
int index_line_type(const char *line, char *name, size_t name_size)
{
    char words[4][LISTING_INDEX_LINE_SIZE];
    const char *p = line;
    for (char *word : words)
        if (!take_word(&p, word, sizeof words[0]))
            return 0;
    while (*p != '\0' && isspace((unsigned char)*p))
        p++;
    text_copy(name, name_size, p);
    if (text_to_int(words[3]) > 0 || strcmp(words[2], "0") == 0)
        return LISTING_TYPE_FILE;
    if (strcmp(words[3], "dir") == 0)
        return LISTING_TYPE_DIR;
    return 0;
}

// Parses one listing line into the next free slot, which only counts once it parsed. A
// listing with entries missing would pass for the whole directory: once an entry cannot
// be kept, the rest of the data is only read, to keep the connection in step.
static void keep_line(FtpSession *session, char *line, const struct tm *now, bool *complete)
{
    if (strncmp(line, "total", 5) == 0 || !*complete)
        return;
    if (!make_room(session)) {
        *complete = false;
        return;
    }
    if (parse_listing_line_at(line, &session->entries[session->entry_count], now) == 0)
        session->entry_count++;
}

void apply_index_line(FtpSession *session, char *line)
{
    cut_at_line_end(line);
    char name[LISTING_INDEX_NAME_SIZE];
    int type = index_line_type(line, name, sizeof name);
    if (type == 0)
        return;
    for (int32_t i = 0; i < session->entry_count; i++) {
        ListingEntry *entry = &session->entries[i];
        if (strcmp(entry->name, name) == 0) {
            entry->status.st_mode = (uint16_t)((entry->status.st_mode & 0x0FFF) | type);
            return;
        }
    }
}

}  // namespace

int list_directory(FtpSession *session, const char *path)
{
    if (!session)
        return -1;
    if (!path)
        path = "";
    session->entry_count = 0;
    if (strlen(path) > LISTING_PATH_LIMIT)
        return list_fail(session);
    if (session_open_data(session) != 0)
        return list_fail(session);
    // A LIST that cannot be sent (a path with a line break) is never answered: waiting
    // for its data connection would never end.
    int sent = path[0] != '\0' ? session_send(session, "LIST %s\r\n", path) : session_send(session, "LIST\r\n");
    if (sent != 0 || session_accept_data(session) != 0)
        return list_fail(session);
    int reply = session_reply(session, SESSION_CODE_ONLY);
    if (reply != 150 && reply != 125)
        return list_fail(session);

    struct tm now;
    listing_now(&now);
    char line[LISTING_LINE_LIMIT + 1];
    // A piece without its line end is a line cut short by its length or by a NUL byte
    // when more follows (its name would be cut and name another file: the whole line is
    // dropped), or the last line of a listing whose final line end is missing.
    char held[LISTING_LINE_LIMIT + 1];
    bool holding = false;
    bool skipping = false;
    bool complete = true;
    while (stream_read_line(session->data, line, LISTING_LINE_LIMIT)) {
        size_t length = strlen(line);
        bool whole = length > 0 && line[length - 1] == '\n';
        if (holding || skipping) {
            holding = false;
            skipping = !whole;
            continue;
        }
        if (!whole) {
            memcpy(held, line, length + 1);
            holding = true;
            continue;
        }
        keep_line(session, line, &now, &complete);
    }
    if (holding)
        keep_line(session, held, &now, &complete);
    session_close_data(session);

    // Servers end a listing with 226 or, as RFC 959 allows, 250.
    reply = session_reply(session, SESSION_CODE_ONLY);
    if ((reply != 226 && reply != 250) || !complete)
        return list_fail(session);
    session->cursor = -1;
    if (session->use_index_file)
        apply_index_file(session, path);
    return 0;
}

int apply_index_file(FtpSession *session, const char *path)
{
    if (!session || !path)
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
        apply_index_line(session, line);
    fclose(file);
    remove(local);
    return 0;
}

const ListingEntry *next_entry(FtpSession *session)
{
    if (!session || session->cursor == LISTING_CURSOR_FAILED)
        return nullptr;
    // Only a listing moves the cursor anywhere but forward from -1.
    assert(session->cursor >= -1);
    if (session->cursor < INT32_MAX)
        session->cursor++;
    return current_entry(session);
}

const ListingEntry *current_entry(const FtpSession *session)
{
    if (!session || !session->entries || session->cursor < 0 || session->cursor >= session->entry_count)
        return nullptr;
    assert(session->entry_count > 0);
    return &session->entries[session->cursor];
}

int listing_failed(const FtpSession *session)
{
    return session && session->cursor == LISTING_CURSOR_FAILED ? 1 : 0;
}

void list_set_entry_limit(int32_t limit)
{
    g_entry_limit = limit > 0 ? limit : INT32_MAX;
}

const ListingEntry *list_entry(const FtpSession *session, int32_t index)
{
    if (!session || !session->entries || index < 0 || index >= session->entry_count)
        return nullptr;
    return &session->entries[index];
}

int32_t list_entry_count(const FtpSession *session)
{
    return session && session->entries ? session->entry_count : 0;
}
