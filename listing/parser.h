// Turns one line of a LIST reply into a ListingEntry. Two forms are understood, tried
// in this order on every line whatever the server's system type: the MS-DOS form
//     12-31-99  11:59PM       <DIR>          name      (or a size in place of <DIR>)
// and the UNIX long form
//     drwxr-xr-x  2 owner group  512 Jan  5 12:30 name
// Times come out as seconds since 1970-01-01 00:00 UTC in 32 bits, read as local
// standard time (no daylight-saving bias).
#pragma once

#include <cstdint>
#include <ctime>

#include "listing/listing_entry.h"

enum {
    LISTING_LINE_LIMIT = 1000,      // lines from the enumeration hold at most this many bytes
    LISTING_PERMISSION_SIZE = 100,  // working buffer of the UNIX permission word
    LISTING_MONTH_SIZE = 100,       // working buffer of the UNIX month word
    LISTING_SIZE_WORD_SIZE = 1000,  // working buffer of the MS-DOS size-or-<DIR> word
};

// 0 when the line gave an entry, -1 when it fits neither form (the entry's contents
// are then unspecified). The line loses its line end; the entry is written whole.
// "now" is the current local time, against which a UNIX date without a year is placed;
// the forms without it take the system clock.
int parse_listing_line(char *line, ListingEntry *entry);
int parse_listing_line_at(char *line, ListingEntry *entry, const struct tm *now);
int parse_dos_line(char *line, ListingEntry *entry);
int parse_unix_line(char *line, ListingEntry *entry);
int parse_unix_line_at(char *line, ListingEntry *entry, const struct tm *now);

// Ends the text at its first CR or LF; a text with neither stays as it is.
void cut_at_line_end(char *text);

// "Jan".."Dec" (exact, with case) give 0..11; any other text gives 0.
int month_index(const char *text);

// Broken-down time to seconds with no time zone: years before 1970 count nothing,
// every fourth year since 1900 is a leap year, fields out of their usual range add up
// (a month of 12 is January of the next year). Seconds, minutes, hours, day of the
// month, month and years since 1900 are read; the other fields are ignored. Results
// beyond the 32-bit range stick at its ends.
int32_t calendar_seconds(const struct tm *fields);

// Local broken-down time (standard time) to seconds since 1970-01-01 00:00 UTC:
// calendar_seconds plus the zone offset, daylight saving not applied.
int32_t local_fields_to_time(const struct tm *fields);
