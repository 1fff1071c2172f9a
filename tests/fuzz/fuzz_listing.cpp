// One line of a LIST reply, as the enumeration hands it over (at most
// LISTING_LINE_LIMIT bytes), in a buffer of exactly its length so that reading or
// writing past the terminator is caught. "now" is fixed so a run repeats.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "listing/parser.h"

namespace {

void check_entry(const ListingEntry &entry)
{
    if (strnlen(entry.owner, sizeof entry.owner) >= sizeof entry.owner ||
        strnlen(entry.group, sizeof entry.group) >= sizeof entry.group ||
        strnlen(entry.name, sizeof entry.name) >= sizeof entry.name ||
        strnlen(entry.link_target, sizeof entry.link_target) >= sizeof entry.link_target)
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
    char *line = line_copy(data, length);
    if (parse_listing_line_at(line, entry, &now) == 0)
        check_entry(*entry);
    free(line);

    line = line_copy(data, length);
    if (parse_dos_line(line, entry) == 0)
        check_entry(*entry);
    free(line);

    line = line_copy(data, length);
    if (parse_unix_line_at(line, entry, &now) == 0)
        check_entry(*entry);
    free(line);

    free(entry);
    return 0;
}
