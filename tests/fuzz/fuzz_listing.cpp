// One line of a LIST reply, as the enumeration hands it over (at most
// LISTING_LINE_LIMIT bytes), in a buffer of exactly its length so that reading or
// writing past the terminator is caught. "now" is fixed so a run repeats.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "listing/parser.h"

namespace {

const char BLANKS[] = " \t\n\v\f\r";

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Where the name begins in the line (up to its line end): the name is the line's tail,
// or the tail before " -> " and the link target, or a drive root "C:\" shown as "C".
size_t name_start(const std::string &line, const ListingEntry &entry)
{
    std::string name = entry.name, target = entry.link_target;
    // The link's form first: its target may end in the name's own letters.
    if (ends_with(line, name + " -> " + target))
        return line.size() - name.size() - 4 - target.size();
    if (ends_with(line, name))
        return line.size() - name.size();
    if (name.size() == 1 && ends_with(line, name + ":\\"))
        return line.size() - 3;
    abort();
}

// Every text ends inside its field; the name and link target come from within the line;
// a name is never empty nor blanks alone, and it begins behind a blank, so it is never
// the rest of a word (":05 report.pdf" from a clock "9:05"); the true size is never
// negative and the 32-bit field holds it or, past 2 GiB, its largest value; the 32-bit
// time is the whole time or the nearest value the field holds.
void check_entry(const ListingEntry &entry, const char *original)
{
    if (strnlen(entry.owner, sizeof entry.owner) >= sizeof entry.owner ||
        strnlen(entry.group, sizeof entry.group) >= sizeof entry.group ||
        strnlen(entry.name, sizeof entry.name) >= sizeof entry.name ||
        strnlen(entry.link_target, sizeof entry.link_target) >= sizeof entry.link_target)
        abort();
    if (entry.name[0] == '\0' || entry.name[strspn(entry.name, BLANKS)] == '\0')
        abort();
    std::string line(original, strcspn(original, "\r\n"));
    size_t start = name_start(line, entry);
    if (start == 0 || !strchr(BLANKS, line[start - 1]))
        abort();
    if (!strstr(original, entry.link_target))
        abort();
    if (entry.size < 0 || entry.status.st_size != (entry.size > INT32_MAX ? INT32_MAX : entry.size))
        abort();
    int64_t nearest = entry.mtime > INT32_MAX ? INT32_MAX : entry.mtime < INT32_MIN ? INT32_MIN : entry.mtime;
    if (entry.status.st_mtime != nearest)
        abort();
}

char *line_copy(const uint8_t *data, size_t length)
{
    char *line = (char *)malloc(length + 1);
    memcpy(line, data, length);
    line[length] = '\0';
    return line;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > LISTING_LINE_LIMIT)
        size = LISTING_LINE_LIMIT;
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    size_t length = nul ? (size_t)(nul - data) : size;

    struct tm now = {};
    now.tm_year = 126;
    now.tm_mon = 5;
    now.tm_mday = 15;
    now.tm_hour = 12;

    ListingEntry *entry = (ListingEntry *)malloc(sizeof *entry);
    char *original = line_copy(data, length);
    char *line = line_copy(data, length);
    // A drive root's name (C:\ shown as C) is shorter than the line's text, still within it.
    if (parse_listing_line_at(line, entry, &now) == 0)
        check_entry(*entry, original);
    free(line);

    line = line_copy(data, length);
    if (parse_dos_line(line, entry) == 0)
        check_entry(*entry, original);
    free(line);

    line = line_copy(data, length);
    if (parse_unix_line_at(line, entry, &now) == 0)
        check_entry(*entry, original);
    free(line);

    free(original);
    free(entry);
    return 0;
}
