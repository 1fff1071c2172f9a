#include "command/output.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

OutputBuffer *output_create(void *area, int size)
{
    if (size < 0)
        return nullptr;
    OutputBuffer *buffer = (OutputBuffer *)calloc(1, sizeof *buffer);
    if (buffer == nullptr)
        return nullptr;
    if (area != nullptr) {
        buffer->bytes = (unsigned char *)area;
        buffer->borrowed = 1;
    } else {
        // One byte at least, so that a zero size is not mistaken for exhausted memory.
        buffer->bytes = (unsigned char *)malloc(size > 0 ? (size_t)size : 1);
        if (buffer->bytes == nullptr) {
            free(buffer);
            return nullptr;
        }
        buffer->borrowed = 0;
    }
    memset(buffer->bytes, 0, (size_t)size);
    buffer->capacity = size;
    buffer->write_pos = 0;
    buffer->used = 0;
    return buffer;
}

void output_destroy(OutputBuffer *buffer)
{
    if (buffer == nullptr)
        return;
    if (!buffer->borrowed)
        free(buffer->bytes);
    free(buffer);
}

int output_append(OutputBuffer *buffer, const void *bytes, int n)
{
    if (buffer == nullptr || buffer->used >= buffer->capacity)
        return OUTPUT_FULL;
    if (bytes == nullptr || n <= 0)
        return 0;
    // Compared as room left, not as used + n, which could overflow for a huge n.
    int room = buffer->capacity - buffer->used;
    if (n > room)
        n = room;
    assert(buffer->used >= 0 && buffer->write_pos >= 0 && buffer->write_pos + n <= buffer->capacity);
    memcpy(buffer->bytes + buffer->write_pos, bytes, (size_t)n);
    buffer->write_pos += n;
    buffer->used += n;
    // The position wraps, but a full area refuses every later append, so the text
    // written so far is never overwritten.
    if (buffer->write_pos == buffer->capacity)
        buffer->write_pos = 0;
    return n;
}

int output_append_text(const char *text, OutputBuffer *buffer)
{
    if (text == nullptr)
        text = "";
    size_t length = strlen(text);
    // Longer than any area could be: the cut to the room left happens in output_append.
    int n = length > (size_t)0x7FFFFFFF ? 0x7FFFFFFF : (int)length;
    return output_append(buffer, text, n);
}

void output_printf(OutputBuffer *buffer, const char *format, ...)
{
    char work[OUTPUT_FORMAT_SIZE];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(work, sizeof work, format, ap);
    va_end(ap);
    // A formatting error leaves the work area undefined: drop the piece rather than
    // append whatever it holds.
    if (n < 0)
        return;
    work[sizeof work - 1] = '\0';
    output_append_text(work, buffer);
}
