#include "platform/charset.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <windows.h>

#include "util/charset.h"

namespace {

// The code page a set's name stands for; 0 for a name the system has no code page for.
UINT code_page_of(const char *name)
{
    if (!name || !*name)
        return GetACP();
    char plain[CHARSET_NAME_SIZE];
    charset_plain_name(name, plain, sizeof plain);
    static const struct {
        const char *name;
        UINT page;
    } known[] = {
        {"utf8", CP_UTF8},       {"shiftjis", 932},  {"sjis", 932},          {"windows31j", 932},
        {"eucjp", 20932},        {"iso88591", 28591}, {"latin1", 28591},     {"iso885915", 28605},
        {"gbk", 936},            {"gb2312", 936},     {"big5", 950},         {"euckr", 949},
        {"koi8r", 20866},        {"usascii", 20127},  {"ascii", 20127},
    };
    for (const auto &k : known)
        if (strcmp(plain, k.name) == 0)
            return k.page;
    // "CP1252", "windows-1252", "ibm850": the number names the page.
    const char *digits = nullptr;
    if (strncmp(plain, "cp", 2) == 0)
        digits = plain + 2;
    else if (strncmp(plain, "windows", 7) == 0)
        digits = plain + 7;
    else if (strncmp(plain, "ibm", 3) == 0)
        digits = plain + 3;
    if (!digits || *digits < '0' || *digits > '9')
        return 0;
    char *end = nullptr;
    unsigned long page = strtoul(digits, &end, 10);
    if (*end != '\0' || page == 0 || page > 65535 || !IsValidCodePage((UINT)page))
        return 0;
    return (UINT)page;
}

}  // namespace

int platform_charset_same(const char *a, const char *b)
{
    UINT first = code_page_of(a), second = code_page_of(b);
    return first != 0 && first == second;
}

int platform_charset_convert(const char *from, const char *to, const char *text, char *out, size_t out_size,
                             int *lossy)
{
    if (lossy)
        *lossy = 0;
    if (!text || !out || out_size == 0 || out_size > INT32_MAX)
        return -1;
    out[0] = '\0';
    UINT source = code_page_of(from), target = code_page_of(to);
    if (source == 0 || target == 0)
        return -1;
    int length = (int)strlen(text);
    if (length == 0)
        return 0;
    // A byte that is no character of the source: the strict pass says so, the lenient one
    // puts U+FFFD in its place, which the target then shows as '?'.
    bool bad_source = MultiByteToWideChar(source, MB_ERR_INVALID_CHARS, text, length, nullptr, 0) == 0;
    int wide_length = MultiByteToWideChar(source, 0, text, length, nullptr, 0);
    if (wide_length <= 0)
        return -1;
    wchar_t *wide = (wchar_t *)malloc(sizeof(wchar_t) * (size_t)wide_length);
    if (!wide)
        return -1;
    MultiByteToWideChar(source, 0, text, length, wide, wide_length);
    BOOL defaulted = FALSE;
    bool utf8 = target == CP_UTF8;
    if (utf8) {
        for (int i = 0; i < wide_length; i++)
            if (wide[i] == 0xFFFD)
                wide[i] = L'?';
    }
    // No "best fit": a code page without é would show café.txt as cafe.txt, the name of
    // another file, and every operation on it would reach that one. '?' marks the name as
    // one that cannot be shown, so its server bytes are kept. A few pages refuse the flag.
    int written = WideCharToMultiByte(target, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, wide_length, out,
                                      (int)out_size - 1, utf8 ? nullptr : "?", utf8 ? nullptr : &defaulted);
    if (written <= 0 && !utf8 && GetLastError() == ERROR_INVALID_FLAGS)
        written = WideCharToMultiByte(target, 0, wide, wide_length, out, (int)out_size - 1, "?", &defaulted);
    free(wide);
    if (written <= 0) {
        out[0] = '\0';
        return -1;
    }
    out[written] = '\0';
    if (lossy)
        *lossy = bad_source || defaulted;
    return 0;
}

int platform_text_width(const char *text)
{
    // In the ANSI code pages a double-byte character is as wide as its two bytes.
    return (int)strlen(text);
}
