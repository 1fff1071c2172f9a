// The bounded writer over the report area of the command entry.
//
// The caller of a command hands over an area and its size; every report line, the usage
// text and the bytes of printed files go through one OutputBuffer into that area. The
// buffer never grows and never writes past the size it was given: what does not fit is
// dropped. A full area holds exactly `capacity` bytes and no terminator, so a caller that
// wants a terminated text passes one byte less than its area and clears that byte itself.
#pragma once

struct OutputBuffer {
    unsigned char *bytes;  // the caller's area, or one the buffer allocated
    int borrowed;          // 1: bytes belong to the caller and are never released here
    int capacity;          // size of the area as the caller gave it
    int write_pos;         // where the next byte goes; back to 0 once the area is full
    int used;              // bytes held, 0..capacity
};

// Result of output_append when the area was already full before the call.
const int OUTPUT_FULL = -2;

// Size of the work area that output_printf formats into; a longer piece is cut to
// OUTPUT_FORMAT_SIZE - 1 bytes.
const int OUTPUT_FORMAT_SIZE = 10000;

// Creates a buffer over area (size bytes), or over an area of its own when area is null.
// All size bytes are zero-filled either way. Returns null when size is negative (there
// is no area of that size to write into) or memory runs out. The caller owns the record
// and ends it with output_destroy.
OutputBuffer *output_create(void *area, int size);

// Releases the buffer's own area (never the caller's, which keeps its text) and the
// record. A null buffer is ignored.
void output_destroy(OutputBuffer *buffer);

// Appends n bytes, which need not be text. Returns the count taken: n, or less when the
// area filled up during this call (the part that fit is stored); OUTPUT_FULL when the
// area was full already. A negative n or null bytes take nothing (0); a null buffer
// counts as full.
int output_append(OutputBuffer *buffer, const void *bytes, int n);

// output_append of text without its terminator; a null text appends nothing. Note the
// order: the text comes first.
int output_append_text(const char *text, OutputBuffer *buffer);

// Formats with the C library's rules into a work area of OUTPUT_FORMAT_SIZE bytes and
// appends the result as text. What the append took is not reported: report text that
// does not fit is simply cut.
void output_printf(OutputBuffer *buffer, const char *format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
