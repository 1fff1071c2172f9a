// Small text helpers shared by every subsystem.
#pragma once
#include <cstddef>
#include <cstdint>

// Copies src into dst (size bytes, terminator included). Returns 0 when the whole
// text fit, -1 when it did not; then dst holds the first size-1 bytes, terminated,
// so callers that must not act on a cut text can refuse it.
int text_copy(char *dst, size_t size, const char *src);

// Copies at most n bytes of src (stopping at a NUL) into dst, terminated; -1 when
// the piece did not fit.
int text_copy_n(char *dst, size_t size, const char *src, size_t n);

// Appends src to the text in dst; -1 when it did not fit (dst then holds what fit).
int text_append(char *dst, size_t size, const char *src);

// snprintf into a fixed buffer; -1 when the result was cut or formatting failed.
int text_format(char *dst, size_t size, const char *format, ...)
    __attribute__((format(gnu_printf, 3, 4)));

// Reads a decimal integer the way the C library's atoi does: leading white space, an
// optional sign, then digits up to the first non-digit; no digit at all gives 0. Unlike
// atoi it is safe on untrusted text: a value out of range saturates to INT_MAX or INT_MIN.
int text_to_int(const char *text);

// The value of a hex digit (either case), or -1 for any other character.
int text_hex_value(char c);

// Reads the decimal digits at text (no sign, no blanks) into *value and points *end, when
// given, behind them. The count of digits read (0: none, *value 0), or -1 when the number
// exceeds INT64_MAX.
int text_to_int64(const char *text, int64_t *value, const char **end);
