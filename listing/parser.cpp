#include "listing/parser.h"

#include <climits>
#include <cstring>

#include "platform/time.h"
#include "listing/words.h"
#include "util/datetime.h"
#include "util/text.h"

// The scanning below reads lines by hand, word by word: no word is copied anywhere
// before its length is known, and no number can overflow. A number is digits alone; a
// line whose count, size, date or clock has anything else glued to it, or whose date
// is no date, gives no entry: what it would give is not what the server has.

namespace {

using Word = ListingWord;

const long long NUMBER_CAP = 1000000000000000LL;  // digits beyond this stop counting
const long long FIELD_LIMIT = 1000000;           // date and time numbers are held within this

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits from p on, no sign: their value (held at NUMBER_CAP) and how many there were.
size_t read_digits(const char *p, long long *value)
{
    size_t count = 0;
    long long magnitude = 0;
    for (; is_digit(p[count]); count++) {
        if (magnitude < NUMBER_CAP)
            magnitude = magnitude * 10 + (p[count] - '0');
    }
    *value = magnitude;
    return count;
}

// Blanks, then 1 to most digits; leaves *cursor behind them. A sign is no part of a
// date or a size.
bool scan_digits(const char **cursor, size_t most, long long *value)
{
    const char *p = listing_skip_blanks(*cursor);
    size_t count = read_digits(p, value);
    if (count == 0 || count > most)
        return false;
    *cursor = p + count;
    return true;
}


bool expect(const char **cursor, char c)
{
    if (**cursor != c)
        return false;
    (*cursor)++;
    return true;
}

// The whole word is a number of 1 to most digits: a count or a size with anything glued
// to it (1226672x, 9,730) is none.
bool word_number(const Word &word, size_t most, long long *value)
{
    return word.length >= 1 && word.length <= most && read_digits(word.start, value) == word.length;
}

bool all_digits(const Word &word)
{
    long long value;
    return word_number(word, word.length, &value);
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

int month_of(const char *text, size_t length)
{
    static const char months[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    if (length != 3)
        return -1;
    char lower[3];
    for (size_t i = 0; i < 3; i++) {
        char c = text[i];
        lower[i] = c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
    }
    for (int i = 0; i < 12; i++) {
        if (memcmp(lower, months + 3 * i, 3) == 0)
            return i;
    }
    return -1;
}

// Copies the end of the line into the entry's name, split at the first " -> " into name
// and link target when the line is a link's. A name is never cut: a cut name would name
// another file. A name of blanks alone cannot be told from a line's padding.
int take_name(const char *rest, bool split_link, ListingEntry *entry)
{
    const char *arrow = split_link ? strstr(rest, " -> ") : nullptr;
    size_t length = arrow ? (size_t)(arrow - rest) : strlen(rest);
    if ((size_t)(listing_skip_blanks(rest) - rest) >= length)
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
    return listing_is_blank(*p) ? p + 1 : p;
}

// Local fields to seconds through the zone as the runtime knows it, daylight saving
// included, so that the entry queries turn the seconds back into the same fields. The
// entry keeps the whole time; its 32-bit field the nearest value it holds.
void set_time(const struct tm *fields, ListingEntry *entry)
{
    entry->mtime = local_fields_to_time_zoned_wide(fields, platform_zone_offset(), platform_zone_offset_at);
    entry->status.st_mtime = time_field_of(entry->mtime);
}

// A clock as ls writes it, "9:05" or "19:05": the hour and the minute, not yet checked
// for their ranges.
bool clock_of(const Word &word, long long *hour, long long *minute)
{
    size_t hour_digits = read_digits(word.start, hour);
    return (hour_digits == 1 || hour_digits == 2) && word.length == hour_digits + 3 &&
           word.start[hour_digits] == ':' && read_digits(word.start + hour_digits + 1, minute) == 2;
}

// The words of a UNIX line, read as far as they are asked for. A link count glued to
// the permission word behind an ACL mark (drwxr-x---+1464, the count too wide for its
// column) is a word of its own.
struct UnixWords {
    enum { MOST = 40 };   // a group of more than thirty words is no group
    Word word[MOST];
    size_t count;
    const char *rest;
};

bool have_word(UnixWords *words, size_t index)
{
    while (words->count <= index) {
        if (words->count == UnixWords::MOST || !listing_scan_word(&words->rest, &words->word[words->count]))
            return false;
        Word &read = words->word[words->count++];
        if (words->count == 1 && read.length > 11 && strchr("+@.", read.start[10]) &&
            all_digits(Word{read.start + 11, read.length - 11})) {
            words->word[1] = Word{read.start + 11, read.length - 11};
            read.length = 11;
            words->count = 2;
        }
    }
    return true;
}

// A device's major number: digits and the comma that parts it from the minor one.
bool is_major_number(const Word &word)
{
    return word.length >= 2 && word.start[word.length - 1] == ',' &&
           all_digits(Word{word.start, word.length - 1});
}

// "major,minor" in one word.
bool is_device_numbers(const Word &word)
{
    const char *comma = (const char *)memchr(word.start, ',', word.length);
    if (!comma)
        return false;
    size_t major = (size_t)(comma - word.start);
    return all_digits(Word{word.start, major}) && all_digits(Word{comma + 1, word.length - major - 1});
}

// The columns of a UNIX line before its date: the permission word, the link count,
// the owner, the group (any number of words: none, or a name with blanks), and the
// size, or a device's "major, minor" in its place.
struct UnixColumns {
    Word permission;
    long long links;
    Word owner;
    Word group;
    long long size;
    Word month, day, clock_or_year;
};

// The date anchors the columns: the first place where a month's name, a day of one or
// two digits and a clock or a four-digit year follow a size, behind at least the link
// count. Whether the date's numbers are in range is the caller's question: a line whose
// first date is wrong gives no entry rather than a date found further on.
bool unix_columns(const char *line, UnixColumns *columns)
{
    UnixWords words;
    words.count = 0;
    words.rest = line;
    if (!have_word(&words, 1) || !word_number(words.word[1], 18, &columns->links))
        return false;
    char type = words.word[0].start[0];
    bool device = type == 'c' || type == 'b';
    for (size_t month = 3; have_word(&words, month + 2); month++) {
        const Word &size = words.word[month - 1], &day = words.word[month + 1],
                   &clock = words.word[month + 2];
        long long number = 0;
        bool is_year = clock.length == 4 && all_digits(clock);
        if (month_of(words.word[month].start, words.word[month].length) < 0 ||
            !word_number(day, 2, &number) || !(is_year || clock_of(clock, &number, &number)))
            continue;
        size_t group_end = month - 1;
        bool major_before = month >= 4 && is_major_number(words.word[month - 2]);
        if (major_before && (!device || !all_digits(size))) {
            continue;   // "9, 730" is no file's size
        } else if (major_before) {
            group_end = month - 2;
            columns->size = 0;
        } else if (device && is_device_numbers(size)) {
            columns->size = 0;
        } else if (!word_number(size, size.length, &columns->size)) {
            continue;
        }
        columns->permission = words.word[0];
        columns->owner = group_end > 2 ? words.word[2] : Word{"", 0};
        columns->group = Word{"", 0};
        if (group_end > 3) {
            const Word &first = words.word[3], &last = words.word[group_end - 1];
            columns->group = Word{first.start, (size_t)(last.start + last.length - first.start)};
        }
        columns->month = words.word[month];
        columns->day = day;
        columns->clock_or_year = clock;
        return true;
    }
    return false;
}

// The date of the columns into *fields, "Mon dd hh:mm" for an entry of the last months,
// else "Mon dd yyyy"; false when a number is out of its range.
bool unix_date(const UnixColumns &columns, const struct tm *now, struct tm *fields)
{
    memset(fields, 0, sizeof *fields);
    long long day = 0, hour = 0, minute = 0, year = 0;
    word_number(columns.day, 2, &day);
    if (day < 1 || day > 31)
        return false;
    fields->tm_mday = (int)day;
    fields->tm_mon = month_of(columns.month.start, columns.month.length);
    if (clock_of(columns.clock_or_year, &hour, &minute)) {
        if (hour > 23 || minute > 59)
            return false;
        fields->tm_hour = (int)hour;
        fields->tm_min = (int)minute;
        // Listings show a time instead of a year for entries of the last months:
        // a date that would lie ahead of now (beyond a day's clock differences)
        // must be from last year.
        fields->tm_year = now->tm_year;
        if (calendar_seconds_wide(fields) - calendar_seconds_wide(now) > 86400)
            fields->tm_year -= 1;
    } else {
        word_number(columns.clock_or_year, 4, &year);
        fields->tm_year = (int)year - 1900;
    }
    return true;
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
    return month_of(text, strlen(text));
}

int parse_dos_line(char *line, ListingEntry *entry)
{
    cut_at_line_end(line);

    // "mm-dd-yy hh:mm", then "AM"/"PM" right behind the minutes, or a blank for the
    // 24-hour clock.
    const char *p = line;
    long long month, day, year, hour, minute;
    if (!scan_digits(&p, 2, &month) || !expect(&p, '-') || !scan_digits(&p, 2, &day) ||
        !expect(&p, '-') || !scan_digits(&p, 18, &year) || !scan_digits(&p, 2, &hour) ||
        !expect(&p, ':') || read_digits(p, &minute) != 2)
        return -1;
    p += 2;
    if (month < 1 || month > 12 || day < 1 || day > 31 || minute > 59)
        return -1;
    char marker = *p;
    if ((marker == 'A' || marker == 'P') && p[1] == 'M') {
        if (hour > 12)
            return -1;
        p += 2;
    } else if (listing_is_blank(marker)) {
        // Without a marker the clock is a 24-hour one; nothing else may stand there.
        if (hour > 23)
            return -1;
        marker = '\0';
    } else {
        return -1;
    }
    const char *time_end = p;
    Word size_word;
    if (!listing_scan_word(&p, &size_word))
        return -1;
    // Cleared only now: every UNIX line has failed by here, and the record is large.
    memset(entry, 0, sizeof *entry);

    if (size_word.length == 5 && memcmp(size_word.start, "<DIR>", 5) == 0) {
        entry->status.st_mode = LISTING_TYPE_DIR;
    } else {
        long long size;
        if (!word_number(size_word, size_word.length, &size))
            return -1;
        entry->status.st_mode = LISTING_TYPE_FILE;
        entry->size = size;
        entry->status.st_size = size_value(size);
    }
    entry->status.st_mode |= 0x100;

    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_mday = (int)day;
    fields.tm_mon = (int)month - 1;
    int full_year = field_value(year);
    if (full_year >= 1900)
        fields.tm_year = full_year - 1900;
    else if (full_year < 50)
        fields.tm_year = full_year + 100;   // 00..49 are 2000..2049
    else
        fields.tm_year = full_year;         // 50..99 are 1950..1999
    int hours = (int)hour;
    if (marker == 'A' && hours == 12)
        hours = 0;
    else if (marker == 'P' && hours != 12)
        hours += 12;
    fields.tm_hour = hours;
    fields.tm_min = (int)minute;
    set_time(&fields, entry);

    // IIS writes the size (or <DIR> inside it) in a column of 20 behind one blank, and
    // one blank more before the name: where a line keeps to that, the name begins at
    // that column's end, its own leading blanks kept. Other layouts pad with blanks of
    // their own, which cannot be told from a name's. A 24-hour clock in the same
    // columns leaves the two places of AM/PM blank, so its column ends two further on.
    const size_t column_end = marker ? 21 : 23;
    const char *name = listing_skip_blanks(p);
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
    if (!unix_columns(line, &columns) || !unix_date(columns, now, &fields))
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

    set_time(&fields, entry);
    // Only a link's line carries a target; any other name may hold " -> " itself.
    bool link = (entry->status.st_mode & LISTING_TYPE_MASK) == LISTING_TYPE_LINK;
    const char *clock_end = columns.clock_or_year.start + columns.clock_or_year.length;
    if (take_name(behind_one_blank(clock_end), link, entry) != 0)
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
