// Names between character sets through the system's own converters: iconv on Linux,
// MultiByteToWideChar and WideCharToMultiByte on Windows. A set is named as the system
// knows it ("UTF-8", "Shift_JIS", "CP1252", ...); "" is the caller's own: the locale's set
// on Linux (UTF-8 when the process set none), the ANSI code page on Windows.
#pragma once

#include <cstddef>

enum { CHARSET_NAME_SIZE = 64 };

// Converts text (ending in NUL) from one set into the other, into out (out_size bytes,
// NUL included). A character the target cannot show, or a byte that is no character of
// the source, becomes '?', and *lossy (which may be null) says so. 0, or -1 when a set
// is unknown to the system or out is too small (out then holds an empty text).
int platform_charset_convert(const char *from, const char *to, const char *text, char *out, size_t out_size,
                             int *lossy);

// 1 when the two names mean the same set, so that nothing needs converting; "" is the
// caller's own set and compares as its real name.
int platform_charset_same(const char *a, const char *b);

// The columns a text in the caller's set takes on a terminal: wide characters count two,
// combining ones none. A byte that is no character counts one.
int platform_text_width(const char *text);
