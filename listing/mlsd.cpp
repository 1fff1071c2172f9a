#include "listing/mlsd.h"

#include <climits>
#include <cstring>
#include <ctime>

#include "listing/parser.h"
#include "util/datetime.h"
#include "util/text.h"

namespace {

struct Text {
    const char *start;
    size_t length;
};

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

bool same(const Text &text, const char *word)
{
    size_t length = strlen(word);
    if (text.length != length)
        return false;
    for (size_t i = 0; i < length; i++)
        if (lower(text.start[i]) != lower(word[i]))
            return false;
    return true;
}

bool begins(const Text &text, const char *word)
{
    size_t length = strlen(word);
    return text.length >= length && same(Text{text.start, length}, word);
}

// Digits alone, at most `most` of them, in base 10 or 8.
bool number_of(const Text &text, size_t most, int base, long long *value)
{
    if (text.length == 0 || text.length > most)
        return false;
    long long result = 0;
    for (size_t i = 0; i < text.length; i++) {
        int digit = text.start[i] - '0';
        if (digit < 0 || digit >= base)
            return false;
        result = result * base + digit;
    }
    *value = result;
    return true;
}

// YYYYMMDDHHMMSS, optionally ".sss" (a fraction of any length that is dropped), in UTC.
bool time_of(const Text &text, int64_t *seconds)
{
    size_t whole = text.length;
    const char *dot = (const char *)memchr(text.start, '.', text.length);
    if (dot) {
        whole = (size_t)(dot - text.start);
        long long fraction;
        if (!number_of(Text{dot + 1, text.length - whole - 1}, 9, 10, &fraction))
            return false;
    }
    if (whole != 14)
        return false;
    long long part[6];
    static const size_t widths[6] = {4, 2, 2, 2, 2, 2};
    const char *p = text.start;
    for (int i = 0; i < 6; i++) {
        if (!number_of(Text{p, widths[i]}, widths[i], 10, &part[i]))
            return false;
        p += widths[i];
    }
    // A leap second (60) is allowed by RFC 3659's time-val.
    if (part[1] < 1 || part[1] > 12 || part[2] < 1 || part[2] > 31 || part[3] > 23 || part[4] > 59 ||
        part[5] > 60)
        return false;
    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_year = (int)part[0] - 1900;
    fields.tm_mon = (int)part[1] - 1;
    fields.tm_mday = (int)part[2];
    fields.tm_hour = (int)part[3];
    fields.tm_min = (int)part[4];
    fields.tm_sec = (int)part[5];
    *seconds = calendar_seconds_wide(&fields);
    return true;
}

void copy_shown(char *field, size_t size, const Text &value)
{
    // Owner and group are only shown, never acted on: a longer one is cut.
    text_copy_n(field, size, value.start, value.length);
}

struct Facts {
    Text type = {"", 0};
    bool has_size = false, has_time = false, has_mode = false;
    long long size = 0;
    int64_t time = 0;
    long long mode = 0;
    Text owner = {"", 0}, owner_id = {"", 0}, group = {"", 0}, group_id = {"", 0};
};

// One fact into facts; false when a fact that is read is no value of its kind.
bool take_fact(const Text &name, const Text &value, Facts *facts)
{
    if (same(name, "type")) {
        facts->type = value;
    } else if (same(name, "size") || (same(name, "sizd") && !facts->has_size)) {
        // 18 digits hold every size a file system has without overflowing.
        if (!number_of(value, 18, 10, &facts->size))
            return false;
        facts->has_size = true;
    } else if (same(name, "modify")) {
        if (!time_of(value, &facts->time))
            return false;
        facts->has_time = true;
    } else if (same(name, "unix.mode")) {
        if (!number_of(value, 7, 8, &facts->mode))
            return false;
        facts->has_mode = true;
    } else if (same(name, "unix.ownername")) {
        facts->owner = value;
    } else if (same(name, "unix.owner") || same(name, "unix.uid")) {
        facts->owner_id = value;
    } else if (same(name, "unix.groupname")) {
        facts->group = value;
    } else if (same(name, "unix.group") || same(name, "unix.gid")) {
        facts->group_id = value;
    }
    return true;
}

}  // namespace

int parse_mlsd_line(char *line, ListingEntry *entry)
{
    cut_at_line_end(line);
    memset(entry, 0, sizeof *entry);
    // The facts end at the first blank; exactly one blank parts them from the name, and
    // any further blank belongs to the name.
    const char *blank = strchr(line, ' ');
    if (!blank || blank[1] == '\0')
        return MLSD_NO_ENTRY;
    Facts facts;
    for (const char *p = line; p < blank;) {
        const char *end = (const char *)memchr(p, ';', (size_t)(blank - p));
        if (!end)
            end = blank;
        const char *equals = (const char *)memchr(p, '=', (size_t)(end - p));
        // A fact without a value says nothing; a line of no facts at all is another
        // listing's line.
        if (!equals)
            return MLSD_NO_ENTRY;
        if (!take_fact(Text{p, (size_t)(equals - p)}, Text{equals + 1, (size_t)(end - equals - 1)}, &facts))
            return MLSD_NO_ENTRY;
        p = end + 1;
    }
    if (same(facts.type, "cdir") || same(facts.type, "pdir"))
        return MLSD_SKIP;

    uint16_t type = LISTING_TYPE_FILE;
    Text target = {"", 0};
    unsigned mode_type = facts.has_mode ? (unsigned)(facts.mode & 0170000) : 0;
    if (same(facts.type, "dir")) {
        type = LISTING_TYPE_DIR;
    } else if (begins(facts.type, "os.unix=slink") || begins(facts.type, "os.unix=symlink") ||
               ((facts.type.length == 0 || same(facts.type, "file")) && mode_type == 0120000)) {
        type = LISTING_TYPE_LINK;
        const char *colon = (const char *)memchr(facts.type.start, ':', facts.type.length);
        if (colon)
            target = Text{colon + 1, (size_t)(facts.type.start + facts.type.length - colon - 1)};
    } else if (facts.type.length == 0 && mode_type == 0040000) {
        type = LISTING_TYPE_DIR;
    }

    if (text_copy(entry->name, sizeof entry->name, blank + 1) != 0 ||
        text_copy_n(entry->link_target, sizeof entry->link_target, target.start, target.length) != 0)
        return MLSD_NO_ENTRY;

    // A link is shown as what it most likely points to, as in a LIST line: a name with a
    // dot is taken for a file, one without for a folder.
    if (type == LISTING_TYPE_LINK)
        type = strchr(entry->name, '.') ? LISTING_TYPE_FILE : LISTING_TYPE_DIR;
    // Without a mode the permissions are those a LIST line of the same server shows for
    // such an entry; the perm fact tells what this login may do, which LIST never said.
    uint16_t permissions = facts.has_mode ? (uint16_t)(facts.mode & 0777) : type == LISTING_TYPE_DIR ? 0755 : 0644;
    entry->status.st_mode = (uint16_t)(type | permissions);
    entry->size = facts.size;
    entry->status.st_size = facts.size > INT32_MAX ? INT32_MAX : (int32_t)facts.size;
    entry->mtime = facts.time;
    entry->status.st_mtime = time_field_of(facts.time);
    copy_shown(entry->owner, sizeof entry->owner, facts.owner.length ? facts.owner : facts.owner_id);
    copy_shown(entry->group, sizeof entry->group, facts.group.length ? facts.group : facts.group_id);
    return MLSD_ENTRY;
}
