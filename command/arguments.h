// Splitting the command line of the command entry into arguments.
//
// An argument list is one allocated block: a null-terminated array of pointers to
// NUL-terminated 8-bit texts, followed by the texts themselves, so release_argument_list
// (a plain free) ends all of it. Texts are bytes in the system's ANSI code page; Shift_JIS
// double-byte characters are kept whole.
#pragma once
#include <cstddef>

// Splits text at white space (blank, tab, LF, VT, FF, CR). Double quotes group white
// space into an argument and may open and close anywhere inside one; they are not kept,
// so "" alone is an empty argument, and an unterminated quote runs to the end of the
// text. A backslash has no meaning. A Shift_JIS lead byte followed by a trail byte is
// one character. A null text splits into no arguments. Returns the list, or null when
// memory runs out.
char **tokenize_command_line(const char *text);

// tokenize_command_line, then every argument that begins with '@' (also one that was
// quoted) is replaced by the arguments of the response file that the rest of it names.
// Arguments that come from a response file are taken as they are: a '@' among them
// names no further file. Returns null when a response file cannot be read (missing,
// not a regular file, unreadable, holding a NUL byte) or memory runs out; a failed
// split never yields part of a command line.
char **split_command_line(const char *text);

// Copies a null-terminated pointer array and its texts into one new block. Returns
// null when memory runs out or the block would be too large to address.
char **pack_argument_list(char *const *array);

// Reads a regular file whole into an allocated, NUL-terminated copy (the caller frees
// it). When length is not null it receives the number of bytes read, which tells a file
// with NUL bytes in it from a shorter text. Returns null when the file is not a regular
// file, cannot be opened, is too large for memory, or yields fewer bytes than its size.
char *read_whole_file(const char *name, size_t *length);

// Number of texts before the null pointer; 0 for a null list.
int argument_count(char *const *list);

// Releases a list from any of the functions above; null is ignored.
void release_argument_list(char **list);
