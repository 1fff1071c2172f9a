// The blank-separated words of a listing line, read in place: no word is copied anywhere
// before its length is known.
#pragma once

#include <cstddef>

struct ListingWord {
    const char *start;
    size_t length;
};

// A blank as the C locale has it (space, tab, LF, VT, FF, CR), whatever the process's
// locale: a listing reads the same under every locale.
bool listing_is_blank(char c);
const char *listing_skip_blanks(const char *p);
// "%s": blanks, then a run of non-blanks; false at the end of the text.
bool listing_scan_word(const char **cursor, ListingWord *word);
