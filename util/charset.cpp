#include "util/charset.h"

int charset_sjis_lead(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

int charset_utf8_length(unsigned char c)
{
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return 2;
    if (c >= 0xE0 && c <= 0xEF)
        return 3;
    if (c >= 0xF0 && c <= 0xF4)
        return 4;
    return 0;
}

int charset_utf8_continues(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

int charset_utf8_next(const char *s, long *code)
{
    unsigned char c = (unsigned char)s[0];
    int n = charset_utf8_length(c);
    if (n == 1) {
        *code = c;
        return 1;
    }
    if (n == 0) {
        *code = -1;
        return 1;
    }
    long value = c & (0x7F >> (n + 1));
    for (int i = 1; i < n; i++) {
        // A NUL is no continuation byte: the walk stops before it.
        unsigned char d = (unsigned char)s[i];
        if (!charset_utf8_continues(d)) {
            *code = -1;
            return 1;
        }
        value = (value << 6) | (d & 0x3F);
    }
    *code = value;
    return n;
}

void charset_plain_name(const char *name, char *out, size_t size)
{
    size_t at = 0;
    for (; *name && at + 1 < size; name++) {
        char c = *name;
        if (c == '-' || c == '_')
            continue;
        out[at++] = c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
    }
    out[at] = '\0';
}
