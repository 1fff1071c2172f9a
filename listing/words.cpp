#include "listing/words.h"

bool listing_is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

const char *listing_skip_blanks(const char *p)
{
    while (listing_is_blank(*p))
        p++;
    return p;
}

bool listing_scan_word(const char **cursor, ListingWord *word)
{
    const char *p = listing_skip_blanks(*cursor);
    const char *start = p;
    while (*p != '\0' && !listing_is_blank(*p))
        p++;
    if (p == start)
        return false;
    word->start = start;
    word->length = (size_t)(p - start);
    *cursor = p;
    return true;
}
