#include "listing/parser.h"

#include <climits>
#include <cstring>

#include "platform/time.h"
#include "util/datetime.h"
#include "util/text.h"

// The scanning below reads lines the way the C library's formatted input would ("%d"
// skips blanks and takes a signed decimal, "%s" a run of non-blanks), but by hand: no
// word is copied anywhere before its length is known, and no number can overflow.

namespace {

const long long NUMBER_CAP = 1000000000000000LL;  // digits beyond this stop counting
const long long FIELD_LIMIT = 1000000;           // date and time numbers are held within this

bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

const char *skip_blanks(const char *p)
{
    while (is_blank(*p))
        p++;
    return p;
}

// "%d": blanks, an optional sign, at least one digit. Leaves *cursor behind the digits.
bool scan_number(const char **cursor, long long *value)
{
    const char *p = skip_blanks(*cursor);
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (!is_digit(*p))
        return false;
    long long magnitude = 0;
    for (; is_digit(*p); p++) {
        if (magnitude < NUMBER_CAP)
            magnitude = magnitude * 10 + (*p - '0');
    }
    *value = negative ? -magnitude : magnitude;
    *cursor = p;
    return true;
}

struct Word {
    const char *start;
    size_t length;
};

// "%s": blanks, then a run of non-blanks; false at the end of the text.
bool scan_word(const char **cursor, Word *word)
{
    const char *p = skip_blanks(*cursor);
    const char *start = p;
    while (*p != '\0' && !is_blank(*p))
        p++;
    if (p == start)
        return false;
    word->start = start;
    word->length = (size_t)(p - start);
    *cursor = p;
    return true;
}

bool expect(const char **cursor, char c)
{
    if (**cursor != c)
        return false;
    (*cursor)++;
    return true;
}

// Date and time numbers of absurd size are held in a range where no sum can overflow;
// such dates are nonsense either way.
int field_value(long long value)
{
    if (value > FIELD_LIMIT)
        return (int)FIELD_LIMIT;
    if (value < -FIELD_LIMIT)
        return (int)-FIELD_LIMIT;
    return (int)value;
}

// A size of 2 GiB or more does not fit the 32-bit size field: it is kept as the
// largest value the field holds rather than wrapping into a small or negative one.
int32_t size_value(long long value)
{
    return value > INT32_MAX ? INT32_MAX : (int32_t)value;
}

// Copies the end of the line into the entry's name, split at the first " -> " into name
// and link target. A name is never cut: a cut name would name another file.
int take_name(const char *rest, bool split_link, ListingEntry *entry)
{
    const char *arrow = split_link ? strstr(rest, " -> ") : nullptr;
    size_t length = arrow ? (size_t)(arrow - rest) : strlen(rest);
    if (text_copy_n(entry->name, sizeof entry->name, rest, length) != 0)
        return -1;
    if (arrow && text_copy(entry->link_target, sizeof entry->link_target, arrow + 4) != 0)
        return -1;
    return 0;
}

// Local fields to seconds through the zone as the runtime knows it, daylight saving
// included, so that the entry queries turn the seconds back into the same fields.
int32_t local_time_of(const struct tm *fields)
{
    return local_fields_to_time_zoned(fields, platform_zone_offset(), platform_zone_offset_at);
}

}  // namespace

void cut_at_line_end(char *text)
{
    char *end = strpbrk(text, "\r\n");
    if (end)
        *end = '\0';
}

int month_index(const char *text)
{
    static const char *const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; i++) {
        if (strcmp(text, months[i]) == 0)
            return i;
    }
    return 0;
}

int parse_dos_line(char *line, ListingEntry *entry)
{
    cut_at_line_end(line);
    memset(entry, 0, sizeof *entry);

    // "%d-%d-%d %d:%d%cM %s %n"
    const char *p = line;
    long long month, day, year, hour, minute;
    if (!scan_number(&p, &month) || !expect(&p, '-') || !scan_number(&p, &day) ||
        !expect(&p, '-') || !scan_number(&p, &year) || !scan_number(&p, &hour) ||
        !expect(&p, ':') || !scan_number(&p, &minute))
        return -1;
    char marker = *p;
    if (marker == '\0')
        return -1;
    p++;
    Word size_word;
    if (!expect(&p, 'M') || !scan_word(&p, &size_word))
        return -1;
    const char *name = skip_blanks(p);
    if (*name == '\0')
        return -1;

    // Only the start of the size word matters, so a longer word may be cut.
    char size_text[LISTING_SIZE_WORD_SIZE];
    text_copy_n(size_text, sizeof size_text, size_word.start, size_word.length);
    if (strcmp(size_text, "<DIR>") == 0) {
        entry->status.st_mode = LISTING_TYPE_DIR;
    } else {
        const char *digits = size_text;
        long long size;
        if (!is_digit(*digits) || !scan_number(&digits, &size))
            return -1;
        entry->status.st_mode = LISTING_TYPE_FILE;
        entry->size = size;
        entry->status.st_size = size_value(size);
    }
    entry->status.st_mode |= 0x100;

    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_mday = field_value(day);
    fields.tm_mon = field_value(month) - 1;
    int full_year = field_value(year);
    if (full_year >= 1900)
        fields.tm_year = full_year - 1900;
    else if (full_year < 50)
        fields.tm_year = full_year + 100;   // 00..49 are 2000..2049
    else
        fields.tm_year = full_year;         // 50..99 are 1950..1999
    int hours = field_value(hour);
    if (marker == 'A') {
        if (hours == 12)
            hours = 0;
    } else if (marker == 'P') {
        if (hours != 12)
            hours += 12;
    } else {
        return -1;
    }
    fields.tm_hour = hours;
    fields.tm_min = field_value(minute);
    entry->status.st_mtime = local_time_of(&fields);

    return take_name(name, false, entry);
}

int parse_unix_line_at(char *line, ListingEntry *entry, const struct tm *now)
{
    cut_at_line_end(line);
    memset(entry, 0, sizeof *entry);

    // "%s %d %s %s %d %n"
    const char *p = line;
    Word permission_word, owner, group;
    long long links, size;
    if (!scan_word(&p, &permission_word) || !scan_number(&p, &links) ||
        !scan_word(&p, &owner) || !scan_word(&p, &group) || !scan_number(&p, &size))
        return -1;
    // A first word longer than any permission word means this is no listing line.
    if (permission_word.length >= LISTING_PERMISSION_SIZE)
        return -1;
    // A negative size is no size at all; it would read as about 4 GiB to callers that
    // see the field unsigned.
    if (size < 0)
        return -1;
    // A device shows "major, minor" where a file shows its size; it has no size.
    if (*p == ',') {
        p++;
        long long minor;
        if (!scan_number(&p, &minor))
            return -1;
        size = 0;
    }
    char permission[LISTING_PERMISSION_SIZE];
    text_copy_n(permission, sizeof permission, permission_word.start, permission_word.length);
    // Owner and group are only shown, never acted on: a longer one is cut.
    text_copy_n(entry->owner, sizeof entry->owner, owner.start, owner.length);
    text_copy_n(entry->group, sizeof entry->group, group.start, group.length);
    entry->size = size;
    entry->status.st_size = size_value(size);
    entry->status.st_nlink = (int16_t)(uint16_t)((unsigned long long)links & 0xFFFF);

    switch (permission[0]) {
    case 'd': entry->status.st_mode = LISTING_TYPE_DIR; break;
    case 'c': entry->status.st_mode = LISTING_TYPE_CHAR; break;
    case 'l': entry->status.st_mode = LISTING_TYPE_LINK; break;
    default: entry->status.st_mode = LISTING_TYPE_FILE; break;
    }
    static const char letters[3] = {'r', 'w', 'x'};
    for (size_t i = 1; i <= 9 && i < permission_word.length; i++) {
        if (permission[i] == letters[(i - 1) % 3])
            entry->status.st_mode |= (uint16_t)(0x100 >> (i - 1));
    }

    // The date: "%s %d %c%c:%c%c %n" for a recent entry, else "%s %d %d %n".
    struct tm fields = *now;
    const char *rest = nullptr;
    Word month_word;
    long long day;
    if (scan_word(&p, &month_word) && scan_number(&p, &day)) {
        // Any word that is no month gives January, however long it is, so the cut
        // word gives the same answer as the whole one.
        char month_text[LISTING_MONTH_SIZE];
        text_copy_n(month_text, sizeof month_text, month_word.start, month_word.length);
        fields.tm_mday = field_value(day);
        fields.tm_mon = month_index(month_text);
        const char *clock = skip_blanks(p);
        long long year;
        if (is_digit(clock[0]) && is_digit(clock[1]) && clock[2] == ':' && is_digit(clock[3]) &&
            is_digit(clock[4])) {
            fields.tm_sec = 0;
            fields.tm_min = (clock[3] - '0') * 10 + (clock[4] - '0');
            fields.tm_hour = (clock[0] - '0') * 10 + (clock[1] - '0');
            // Listings show a time instead of a year for entries of the last months:
            // a date that would lie ahead of now (beyond a day's clock differences)
            // must be from last year.
            fields.tm_year = now->tm_year;
            if (calendar_seconds_wide(&fields) - calendar_seconds_wide(now) > 86400)
                fields.tm_year -= 1;
            rest = skip_blanks(clock + 5);
        } else if (scan_number(&p, &year)) {
            fields.tm_sec = fields.tm_min = fields.tm_hour = 0;
            fields.tm_year = field_value(year) - 1900;
            rest = skip_blanks(p);
        }
    }
    // Without a date there is no telling where the name begins.
    if (!rest || *rest == '\0')
        return -1;
    entry->status.st_mtime = local_time_of(&fields);
    if (take_name(rest, true, entry) != 0)
        return -1;

    // A link is shown as what it most likely points to: a name with a dot is taken
    // for a file, one without for a directory.
    if ((entry->status.st_mode & LISTING_TYPE_MASK) == LISTING_TYPE_LINK) {
        uint16_t type = strchr(entry->name, '.') ? LISTING_TYPE_FILE : LISTING_TYPE_DIR;
        entry->status.st_mode = (uint16_t)((entry->status.st_mode & ~LISTING_TYPE_MASK) | type);
    }
    return 0;
}

int parse_listing_line_at(char *line, ListingEntry *entry, const struct tm *now)
{
    if (parse_dos_line(line, entry) != 0 && parse_unix_line_at(line, entry, now) != 0)
        return -1;
    // A drive root such as C:\ stands for its letter.
    char *name = entry->name;
    if (strlen(name) == 3 && name[1] == ':' && name[2] == '\\')
        name[1] = '\0';
    return 0;
}

void listing_now(struct tm *now)
{
    if (platform_local_time(platform_now(), now) != 0) {
        memset(now, 0, sizeof *now);
        now->tm_year = 70;
        now->tm_mday = 1;
    }
}

int parse_listing_line(char *line, ListingEntry *entry)
{
    struct tm now;
    listing_now(&now);
    return parse_listing_line_at(line, entry, &now);
}
