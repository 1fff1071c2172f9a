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
// and link target when the line is a link's. A name is never cut: a cut name would name
// another file. A name of blanks alone cannot be told from a line's padding.
int take_name(const char *rest, bool split_link, ListingEntry *entry)
{
    const char *arrow = split_link ? strstr(rest, " -> ") : nullptr;
    size_t length = arrow ? (size_t)(arrow - rest) : strlen(rest);
    if ((size_t)(skip_blanks(rest) - rest) >= length)
        return -1;
    if (text_copy_n(entry->name, sizeof entry->name, rest, length) != 0)
        return -1;
    if (arrow && text_copy(entry->link_target, sizeof entry->link_target, arrow + 4) != 0)
        return -1;
    return 0;
}

// The name follows the field before it after exactly one blank; further blanks belong
// to the name.
const char *behind_one_blank(const char *p)
{
    return is_blank(*p) ? p + 1 : p;
}

// Local fields to seconds through the zone as the runtime knows it, daylight saving
// included, so that the entry queries turn the seconds back into the same fields.
int32_t local_time_of(const struct tm *fields)
{
    return local_fields_to_time_zoned(fields, platform_zone_offset(), platform_zone_offset_at);
}

// The words of a UNIX line before its date. The group may span several words (a
// name with blanks) or none (a line without the group column).
struct UnixColumns {
    Word permission;
    long long links;
    Word owner;
    Word group;
    long long size;
    const char *date;   // the month word
};

bool all_digits(const Word &word)
{
    for (size_t i = 0; i < word.length; i++) {
        if (!is_digit(word.start[i]))
            return false;
    }
    return word.length > 0;
}

// A device's major number: digits and the comma that parts it from the minor one.
bool is_major_number(const Word &word)
{
    return word.length >= 2 && word.start[word.length - 1] == ',' &&
           all_digits(Word{word.start, word.length - 1});
}

bool is_month_name(const Word &word)
{
    char text[4];
    if (word.length != 3)
        return false;
    text_copy_n(text, sizeof text, word.start, word.length);
    return month_index(text) != 0 || strcmp(text, "Jan") == 0;
}

long long digits_value(const Word &word)
{
    const char *p = word.start;
    long long value = 0;
    scan_number(&p, &value);
    return value;
}

// The columns as most servers write them: permission, links, owner, group, size (a
// device's "major, minor" in its place), then the date. "%s %d %s %s %d %n"
bool unix_usual_columns(const char *line, UnixColumns *columns)
{
    const char *p = line;
    if (!scan_word(&p, &columns->permission) || !scan_number(&p, &columns->links) ||
        !scan_word(&p, &columns->owner) || !scan_word(&p, &columns->group) ||
        !scan_number(&p, &columns->size))
        return false;
    // A negative size is no size at all; it would read as about 4 GiB to callers that
    // see the field unsigned.
    if (columns->size < 0)
        return false;
    // "major," where the group belongs: a device's line without the group column.
    if (is_major_number(columns->group))
        return false;
    // A device shows "major, minor" where a file shows its size; it has no size.
    if (*p == ',') {
        p++;
        long long minor;
        if (!scan_number(&p, &minor))
            return false;
        columns->size = 0;
    }
    columns->date = p;
    return true;
}

// For the other layouts: a line without the group column, or with blanks inside the
// group name. The date anchors the rest: the first place with a month's name, a day
// of 1 to 31 and a clock or a year, behind a size (or a device's "major, minor") and
// at least an owner. Everything between the owner and the size is the group.
bool unix_columns_by_date(const char *line, UnixColumns *columns)
{
    enum { MOST_WORDS = 40 };   // a group of more than thirty words is no group
    Word words[MOST_WORDS];
    size_t count = 0;
    const char *p = line;
    while (count < MOST_WORDS && scan_word(&p, &words[count]))
        count++;
    // words: permission, links, owner, group words, size, month, day, clock or year
    if (count < 7 || !all_digits(words[1]))
        return false;
    for (size_t month = 4; month + 2 < count; month++) {
        const Word &day = words[month + 1], &clock = words[month + 2];
        if (!is_month_name(words[month]) || !all_digits(words[month - 1]))
            continue;
        bool is_day = day.length <= 2 && all_digits(day) && digits_value(day) >= 1 &&
                      digits_value(day) <= 31;
        bool is_clock = clock.length == 5 && is_digit(clock.start[0]) && is_digit(clock.start[1]) &&
                        clock.start[2] == ':' && is_digit(clock.start[3]) && is_digit(clock.start[4]);
        bool is_year = clock.length == 4 && all_digits(clock);
        if (!is_day || !(is_clock || is_year))
            continue;
        size_t group_end = month - 1;
        columns->size = digits_value(words[month - 1]);
        if (month >= 5 && is_major_number(words[month - 2])) {
            group_end = month - 2;
            columns->size = 0;
        }
        columns->permission = words[0];
        columns->links = digits_value(words[1]);
        columns->owner = words[2];
        columns->group.start = words[3].start;
        columns->group.length =
            group_end > 3 ? (size_t)(words[group_end - 1].start + words[group_end - 1].length - words[3].start) : 0;
        columns->date = words[month].start;
        return true;
    }
    return false;
}

// Reads the date at p into *fields, "%s %d %c%c:%c%c" for a recent entry, else
// "%s %d %d", and answers where the name begins; null without a date or a name.
const char *unix_date_and_name(const char *p, const struct tm *now, struct tm *fields)
{
    *fields = *now;
    Word month_word;
    long long day;
    if (!scan_word(&p, &month_word) || !scan_number(&p, &day))
        return nullptr;
    // Any word that is no month gives January, however long it is, so the cut word
    // gives the same answer as the whole one.
    char month_text[LISTING_MONTH_SIZE];
    text_copy_n(month_text, sizeof month_text, month_word.start, month_word.length);
    fields->tm_mday = field_value(day);
    fields->tm_mon = month_index(month_text);
    const char *clock = skip_blanks(p);
    const char *end;
    long long year;
    if (is_digit(clock[0]) && is_digit(clock[1]) && clock[2] == ':' && is_digit(clock[3]) &&
        is_digit(clock[4])) {
        fields->tm_sec = 0;
        fields->tm_min = (clock[3] - '0') * 10 + (clock[4] - '0');
        fields->tm_hour = (clock[0] - '0') * 10 + (clock[1] - '0');
        // Listings show a time instead of a year for entries of the last months:
        // a date that would lie ahead of now (beyond a day's clock differences)
        // must be from last year.
        fields->tm_year = now->tm_year;
        if (calendar_seconds_wide(fields) - calendar_seconds_wide(now) > 86400)
            fields->tm_year -= 1;
        end = clock + 5;
    } else if (scan_number(&p, &year)) {
        fields->tm_sec = fields->tm_min = fields->tm_hour = 0;
        fields->tm_year = field_value(year) - 1900;
        end = p;
    } else {
        return nullptr;
    }
    const char *name = behind_one_blank(end);
    return *skip_blanks(name) == '\0' ? nullptr : name;
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

    // "%d-%d-%d %d:%d", then "AM"/"PM" right behind the minutes, or a blank for the
    // 24-hour clock.
    const char *p = line;
    long long month, day, year, hour, minute;
    if (!scan_number(&p, &month) || !expect(&p, '-') || !scan_number(&p, &day) ||
        !expect(&p, '-') || !scan_number(&p, &year) || !scan_number(&p, &hour) ||
        !expect(&p, ':') || !scan_number(&p, &minute))
        return -1;
    char marker = *p;
    if ((marker == 'A' || marker == 'P') && p[1] == 'M') {
        p += 2;
    } else if (is_blank(marker)) {
        // Without a marker the clock is a 24-hour one; nothing else may stand there.
        if (hour < 0 || hour > 23 || minute < 0 || minute > 59)
            return -1;
        marker = '\0';
    } else {
        return -1;
    }
    const char *time_end = p;
    Word size_word;
    if (!scan_word(&p, &size_word))
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
    if (marker == 'A' && hours == 12)
        hours = 0;
    else if (marker == 'P' && hours != 12)
        hours += 12;
    fields.tm_hour = hours;
    fields.tm_min = field_value(minute);
    entry->status.st_mtime = local_time_of(&fields);

    // IIS writes the size (or <DIR> inside it) in a column of 20 behind one blank, and
    // one blank more before the name: where a line keeps to that, the name begins at
    // that column's end, its own leading blanks kept. Other layouts pad with blanks of
    // their own, which cannot be told from a name's.
    const size_t column_end = 21;
    const char *name = skip_blanks(p);
    if ((size_t)(p - time_end) <= column_end && (size_t)(name - time_end) > column_end)
        name = time_end + column_end + 1;
    return take_name(name, false, entry);
}

int parse_unix_line_at(char *line, ListingEntry *entry, const struct tm *now)
{
    cut_at_line_end(line);
    memset(entry, 0, sizeof *entry);

    UnixColumns columns;
    struct tm fields;
    const char *name = nullptr;
    if (unix_usual_columns(line, &columns))
        name = unix_date_and_name(columns.date, now, &fields);
    if (!name && unix_columns_by_date(line, &columns))
        name = unix_date_and_name(columns.date, now, &fields);
    if (!name)
        return -1;
    // A first word longer than any permission word means this is no listing line.
    if (columns.permission.length >= LISTING_PERMISSION_SIZE)
        return -1;

    char permission[LISTING_PERMISSION_SIZE];
    text_copy_n(permission, sizeof permission, columns.permission.start, columns.permission.length);
    // Owner and group are only shown, never acted on: a longer one is cut.
    text_copy_n(entry->owner, sizeof entry->owner, columns.owner.start, columns.owner.length);
    text_copy_n(entry->group, sizeof entry->group, columns.group.start, columns.group.length);
    entry->size = columns.size;
    entry->status.st_size = size_value(columns.size);
    entry->status.st_nlink = (int16_t)(uint16_t)((unsigned long long)columns.links & 0xFFFF);

    switch (permission[0]) {
    case 'd': entry->status.st_mode = LISTING_TYPE_DIR; break;
    case 'c': entry->status.st_mode = LISTING_TYPE_CHAR; break;
    case 'l': entry->status.st_mode = LISTING_TYPE_LINK; break;
    default: entry->status.st_mode = LISTING_TYPE_FILE; break;
    }
    static const char letters[3] = {'r', 'w', 'x'};
    for (size_t i = 1; i <= 9 && i < columns.permission.length; i++) {
        if (permission[i] == letters[(i - 1) % 3])
            entry->status.st_mode |= (uint16_t)(0x100 >> (i - 1));
    }

    entry->status.st_mtime = local_time_of(&fields);
    // Only a link's line carries a target; any other name may hold " -> " itself.
    bool link = (entry->status.st_mode & LISTING_TYPE_MASK) == LISTING_TYPE_LINK;
    if (take_name(name, link, entry) != 0)
        return -1;

    // A link is shown as what it most likely points to: a name with a dot is taken
    // for a file, one without for a directory.
    if (link) {
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
