#include "util/text.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int text_copy_n(char *dst, size_t size, const char *src, size_t n)
{
    if (size == 0)
        return -1;
    size_t len = strnlen(src, n);
    size_t take = len < size - 1 ? len : size - 1;
    memcpy(dst, src, take);
    dst[take] = '\0';
    return take == len ? 0 : -1;
}

int text_copy(char *dst, size_t size, const char *src)
{
    return text_copy_n(dst, size, src, (size_t)-1);
}

int text_append(char *dst, size_t size, const char *src)
{
    size_t used = strnlen(dst, size);
    if (used >= size)
        return -1;
    return text_copy(dst + used, size - used, src);
}

int text_format(char *dst, size_t size, const char *format, ...)
{
    if (size == 0)
        return -1;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dst, size, format, ap);
    va_end(ap);
    if (n < 0) {
        dst[0] = '\0';
        return -1;
    }
    return (size_t)n < size ? 0 : -1;
}

int text_hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int text_to_int(const char *text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    // The magnitude stops growing one past INT_MAX, enough to tell INT_MIN from overflow.
    const long long limit = (long long)INT_MAX + 1;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > limit)
            magnitude = limit;
    }
    if (negative)
        return (int)-magnitude;
    return magnitude > INT_MAX ? INT_MAX : (int)magnitude;
}

int text_to_int64(const char *text, int64_t *value, const char **end)
{
    int64_t number = 0;
    int count = 0;
    for (; *text >= '0' && *text <= '9'; text++, count++) {
        int digit = *text - '0';
        if (number > (INT64_MAX - digit) / 10) {
            count = -1;
            break;
        }
        number = number * 10 + digit;
    }
    *value = count < 0 ? 0 : number;
    if (end != nullptr)
        *end = text;
    return count;
}
