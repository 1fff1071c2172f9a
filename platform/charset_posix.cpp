#include "platform/charset.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <wchar.h>

#include "util/charset.h"

namespace {

// The locale's set as the process chose it, else as its environment names it: a library
// cannot call setlocale for its caller, and a program that never did still runs in the
// user's set. No name anywhere is UTF-8, as on every current system.
void caller_set(char *out, size_t size)
{
    const char *codeset = nl_langinfo(CODESET);
    if (codeset && *codeset && strcmp(codeset, "ANSI_X3.4-1968") != 0) {
        strncpy(out, codeset, size - 1);
        out[size - 1] = '\0';
        return;
    }
    const char *names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    for (const char *name : names) {
        const char *value = getenv(name);
        if (!value || !*value)
            continue;
        const char *dot = strchr(value, '.');
        if (!dot) {
            break;  // the set of the language's default, which is UTF-8 on current systems
        }
        size_t length = strcspn(dot + 1, "@");
        if (length == 0 || length >= size)
            break;
        memcpy(out, dot + 1, length);
        out[length] = '\0';
        return;
    }
    strncpy(out, "UTF-8", size - 1);
    out[size - 1] = '\0';
}

void real_name(const char *name, char *out, size_t size)
{
    if (!name || !*name) {
        caller_set(out, size);
        return;
    }
    strncpy(out, name, size - 1);
    out[size - 1] = '\0';
}

bool is_utf8(const char *name)
{
    char plain[CHARSET_NAME_SIZE];
    charset_plain_name(name, plain, sizeof plain);
    return strcmp(plain, "utf8") == 0;
}

}  // namespace

int platform_charset_same(const char *a, const char *b)
{
    char first[CHARSET_NAME_SIZE], second[CHARSET_NAME_SIZE];
    real_name(a, first, sizeof first);
    real_name(b, second, sizeof second);
    char plain_first[CHARSET_NAME_SIZE], plain_second[CHARSET_NAME_SIZE];
    charset_plain_name(first, plain_first, sizeof plain_first);
    charset_plain_name(second, plain_second, sizeof plain_second);
    return strcmp(plain_first, plain_second) == 0;
}

int platform_charset_convert(const char *from, const char *to, const char *text, char *out, size_t out_size,
                             int *lossy)
{
    if (lossy)
        *lossy = 0;
    if (!text || !out || out_size == 0)
        return -1;
    out[0] = '\0';
    char source[CHARSET_NAME_SIZE], target[CHARSET_NAME_SIZE];
    real_name(from, source, sizeof source);
    real_name(to, target, sizeof target);
    iconv_t converter = iconv_open(target, source);
    if (converter == (iconv_t)-1)
        return -1;
    bool source_utf8 = is_utf8(source);
    char *in = (char *)text;
    size_t in_left = strlen(text);
    char *at = out;
    size_t out_left = out_size - 1;  // room for the NUL
    int result = 0;
    while (in_left > 0) {
        if (iconv(converter, &in, &in_left, &at, &out_left) != (size_t)-1)
            break;
        if (errno == E2BIG || out_left == 0) {
            result = -1;
            break;
        }
        // A byte that starts no character of the source (or one the target cannot show):
        // one '?' for the whole character where its length is known, and on with the rest.
        if (lossy)
            *lossy = 1;
        *at++ = '?';
        out_left--;
        size_t skip = 1;
        if (source_utf8 && errno == EILSEQ) {
            unsigned char lead = (unsigned char)*in;
            size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            // Only a whole, well-formed character is stepped over as one.
            for (size_t i = 1; i < length; i++)
                if (i >= in_left || ((unsigned char)in[i] & 0xC0) != 0x80)
                    length = 1;
            skip = length;
        }
        if (errno == EINVAL)
            skip = in_left;  // a character cut off at the end
        in += skip;
        in_left -= skip;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    if (result == 0 && iconv(converter, nullptr, nullptr, &at, &out_left) == (size_t)-1)
        result = -1;
    iconv_close(converter);
    if (result != 0) {
        out[0] = '\0';
        return -1;
    }
    *at = '\0';
    return 0;
}

int platform_text_width(const char *text)
{
    int bytes = (int)strlen(text);
    char set[CHARSET_NAME_SIZE];
    caller_set(set, sizeof set);
    if (!is_utf8(set))
        return bytes;
    // The caller's program may never have set a locale: a private one for this thread
    // lets wcwidth read UTF-8 without touching the process's.
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (utf8 == (locale_t)0)
        return bytes;
    locale_t previous = uselocale(utf8);
    int width = 0;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    for (const char *p = text; *p;) {
        wchar_t wide;
        size_t used = mbrtowc(&wide, p, strlen(p), &state);
        if (used == (size_t)-1 || used == (size_t)-2 || used == 0) {
            memset(&state, 0, sizeof state);
            width++;
            p++;
            continue;
        }
        int columns = wcwidth(wide);
        width += columns < 0 ? 1 : columns;
        p += used;
    }
    uselocale(previous);
    freelocale(utf8);
    return width;
}
