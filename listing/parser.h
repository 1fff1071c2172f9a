// Turns one line of a LIST reply into a ListingEntry. Two forms are understood, tried
// in this order on every line whatever the server's system type: the MS-DOS form
//     12-31-99  11:59PM       <DIR>          name      (or a size in place of <DIR>;
//     05-26-95  13:08  <DIR>  name                      also with a 24-hour clock)
// and the UNIX long form
//     drwxr-xr-x  2 owner group  512 Jan  5 12:30 name
// also without the group column, without owner and group, with blanks inside the group
// name, or with the link count glued to an ACL mark (drwxr-x---+1464). The name is all
// of the line behind the one blank after the date (UNIX) or IIS's size column, leading
// blanks included; only a link's line is split at " -> " into name and target.
// A line whose month, day or clock is no date, or whose count, size or year has other
// characters glued to it, fits neither form: a line of another system gives no entry
// rather than a wrong one.
// Times come out as seconds since 1970-01-01 00:00 UTC, read as local time with the
// zone's daylight saving, as the runtime's local time shows them again: whole in the
// entry's mtime, before 1970 too, and in its 32-bit field where they fit.
#pragma once

#include <cstdint>
#include <ctime>

#include "listing/listing_entry.h"

enum {
    LISTING_LINE_LIMIT = 1000,      // lines from the enumeration hold at most this many bytes
    LISTING_PERMISSION_SIZE = 100,  // working buffer of the UNIX permission word
};

// 0 when the line gave an entry, -1 when it fits neither form (the entry's contents
// are then unspecified). The line loses its line end; the entry is written whole.
// "now" is the current local time, against which a UNIX date without a year is placed;
// the forms without it take the system clock.
int parse_listing_line(char *line, ListingEntry *entry);
int parse_listing_line_at(char *line, ListingEntry *entry, const struct tm *now);
int parse_dos_line(char *line, ListingEntry *entry);
int parse_unix_line_at(char *line, ListingEntry *entry, const struct tm *now);

// Ends the text at its first CR or LF; a text with neither stays as it is.
void cut_at_line_end(char *text);

// "Jan".."Dec" in any case give 0..11; any other text gives -1.
int month_index(const char *text);

// The current local time that dates without a year are placed against: one reading of
// the clock per listing, so every line of one reply is judged alike; 1970-01-01 when
// the runtime cannot tell.
void listing_now(struct tm *now);
