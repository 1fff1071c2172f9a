// Turns one line of an MLSD reply (RFC 3659 section 7) into a ListingEntry: facts
// "name=value;" up to the first blank, the entry's name behind it, exactly as the server
// sent it. Sizes are exact and times are UTC with seconds, so nothing is guessed:
//     type=file;size=1024;modify=20240102030405;UNIX.mode=0644; notes.txt
// type gives file, dir or a link ("OS.unix=slink:target", "OS.unix=symlink", or link bits
// in UNIX.mode); size (sizd for a folder), modify, UNIX.mode and the owner and group facts
// fill their fields; any other fact is passed over.
#pragma once

#include "listing/listing_entry.h"

enum { MLSD_ENTRY = 0, MLSD_SKIP = 1, MLSD_NO_ENTRY = -1 };

// MLSD_ENTRY when the line gave an entry, MLSD_SKIP for the folder's own entries (type
// cdir and pdir, "." and ".."), MLSD_NO_ENTRY for a line that is no MLSD line or whose
// size, time or mode is no number of its kind: an entry with a wrong size or date is worse
// than none. The line loses its line end; the entry is written whole.
int parse_mlsd_line(char *line, ListingEntry *entry);
