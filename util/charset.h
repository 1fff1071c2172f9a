// The two multi-byte character sets Kestrel steps through by hand: Shift_JIS in command
// lines and messages of the archiver interface, UTF-8 on a terminal.
#pragma once

#include <cstddef>

// A Shift_JIS lead byte: the byte after it belongs to the same character.
int charset_sjis_lead(unsigned char c);

// The length in bytes that a UTF-8 first byte announces (1 for ASCII, up to 4), or 0 for
// a byte that starts no character (a continuation byte, an overlong or out-of-range lead).
int charset_utf8_length(unsigned char c);
// A UTF-8 continuation byte (10xxxxxx).
int charset_utf8_continues(unsigned char c);
// Decodes the UTF-8 character at s: its length in bytes, with *code its value, or 1 with
// *code -1 for a byte that starts no valid character. Never reads past a NUL.
int charset_utf8_next(const char *s, long *code);

// A character set's name as both systems' converters compare it: lower case, without the
// dashes and underscores people put in or leave out (UTF-8, utf8, Shift_JIS, SHIFT-JIS all
// read "utf8" or "shiftjis"). Cut to fit out (size bytes, NUL included).
void charset_plain_name(const char *name, char *out, size_t size);
