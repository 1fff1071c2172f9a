#include "transport/stream.h"

#include <cassert>
#include <climits>
#include <cstring>
#include <new>

enum {
    SEND_RETRIES = 5,         // would-block pauses allowed in one stream_send
    SEND_RETRY_PAUSE_MS = 10,
};

void stream_disconnect(SocketStream *stream)
{
    if (stream == nullptr)
        return;
    stream_tls_end(stream);
    if (stream->connected_socket != NET_NO_SOCKET)
        net_close(stream->connected_socket);
    stream->connected_socket = NET_NO_SOCKET;
    stream->nonblocking = 0;
    stream->ring_count = 0;
    stream->ring_start = 0;
    stream->ahead_count = 0;
    stream->ahead_start = 0;
    stream->unsent_count = 0;
    stream->broken = 1;
}

void stream_close(SocketStream *stream)
{
    if (stream == nullptr)
        return;
    stream_disconnect(stream);
    delete[] stream->ahead;
    delete[] stream->unsent;
    stream->ahead = nullptr;
    stream->unsent = nullptr;
    stream_free_socket(stream);
}

// A block receive with nothing in hand. During a transfer the data is mostly there
// already: a non-blocking socket is asked first, and only when it has nothing does the
// receive wait (in the usual cancellable slices) and ask again. The count, 0 at the end,
// -1 on failure, cancel or time-out.
static int receive_waiting_if_needed(SocketStream *stream, void *buffer, int size)
{
    // TLS may hold decrypted bytes the socket no longer shows: it does its own waiting.
    if (stream->tls != nullptr)
        return stream_tls_recv(stream, buffer, size);
    if (stream->nonblocking && stream->connected_socket != NET_NO_SOCKET && !stream_is_stopped(stream)) {
        int got = stream_raw_receive(stream, buffer, size);
        if (got >= 0 || net_last_error_kind() != NET_ERROR_WOULD_BLOCK)
            return got;
    }
    if (stream_wait(stream, 0) != 0)
        return -1;
    return stream_raw_receive(stream, buffer, size);
}

int stream_send(SocketStream *stream, const void *bytes, int length)
{
    if (length == 0)
        return 0;
    if (stream == nullptr || bytes == nullptr || length < 0)
        return -1;
    if (stream->tls != nullptr)
        return stream_tls_send(stream, bytes, length);
    const char *position = (const char *)bytes;
    int remaining = length;
    int retries = 0;
    while (remaining > 0) {
        if (stream_wait(stream, 1) != 0)
            return -1;
        int sent = stream_raw_send(stream, position, remaining);
        if (sent < 0) {
            if (net_last_error_kind() == NET_ERROR_WOULD_BLOCK && retries < SEND_RETRIES) {
                net_pause_ms(SEND_RETRY_PAUSE_MS);
                retries++;
                continue;
            }
            return -1;
        }
        position += sent;
        remaining -= sent;
    }
    return length;
}

int stream_flush(SocketStream *stream)
{
    if (stream == nullptr || stream->send_failed)
        return -1;
    if (stream->unsent_count == 0)
        return 0;
    int count = stream->unsent_count;
    stream->unsent_count = 0;
    if (stream_send(stream, stream->unsent, count) != count) {
        stream->send_failed = 1;
        return -1;
    }
    return 0;
}

int stream_send_buffered(SocketStream *stream, const void *bytes, int length)
{
    if (stream == nullptr || bytes == nullptr || length < 0 || stream->send_failed)
        return -1;
    // A cancel stops the writer at once, also when its bytes would only be kept.
    if (stream_is_stopped(stream))
        return -1;
    if (length == 0)
        return 0;
    const unsigned char *from = (const unsigned char *)bytes;
    int left = length;
    while (left > 0) {
        if (stream->unsent_count == 0 && left >= STREAM_SEND_BUFFER_SIZE) {
            if (stream_send(stream, from, left) != left) {
                stream->send_failed = 1;
                return -1;
            }
            break;
        }
        if (stream->unsent == nullptr) {
            stream->unsent = new (std::nothrow) unsigned char[STREAM_SEND_BUFFER_SIZE];
            // Without a buffer the bytes go out as they come.
            if (stream->unsent == nullptr) {
                if (stream_send(stream, from, left) != left) {
                    stream->send_failed = 1;
                    return -1;
                }
                break;
            }
        }
        int room = STREAM_SEND_BUFFER_SIZE - stream->unsent_count;
        int n = left < room ? left : room;
        memcpy(stream->unsent + stream->unsent_count, from, (size_t)n);
        stream->unsent_count += n;
        from += n;
        left -= n;
        if (stream->unsent_count == STREAM_SEND_BUFFER_SIZE && stream_flush(stream) != 0)
            return -1;
    }
    return length;
}

int stream_send_text(SocketStream *stream, const char *text)
{
    if (text == nullptr)
        return -1;
    size_t length = strlen(text);
    if (length == 0)
        return 0;
    if (length > (size_t)INT_MAX)
        return -1;
    return stream_send(stream, text, (int)length) == (int)length ? 0 : -1;
}

// Refills an empty ring with what the socket holds, after a wait: 0, or -1 at the end of
// the data, on failure, cancel or time-out. The ring starts over at its first byte, so
// the bytes land in it directly. After a readable wait a receive takes what is there
// without blocking (0 bytes: the peer closed).
static int fill_ring(SocketStream *stream)
{
    assert(stream->ring_count == 0);
    int got = -1;
    if (stream->ahead_count > 0) {
        // Bytes a block read took ahead come first.
        got = stream->ahead_count < STREAM_RING_SIZE ? stream->ahead_count : STREAM_RING_SIZE;
        memcpy(stream->ring, stream->ahead + stream->ahead_start, (size_t)got);
        stream->ahead_start += got;
        stream->ahead_count -= got;
    } else {
        bool asked = stream->tls != nullptr;
        if (asked)
            got = stream_tls_recv(stream, stream->ring, STREAM_RING_SIZE);
        else if (stream->nonblocking && stream->ring_was_full && stream->connected_socket != NET_NO_SOCKET &&
            !stream_is_stopped(stream)) {
            got = stream_raw_receive(stream, stream->ring, STREAM_RING_SIZE);
            asked = got >= 0 || net_last_error_kind() != NET_ERROR_WOULD_BLOCK;
        }
        if (!asked) {
            if (stream_wait(stream, 0) != 0)
                return -1;
            got = stream_raw_receive(stream, stream->ring, STREAM_RING_SIZE);
        }
        if (got <= 0)
            return -1;
    }
    assert(got <= STREAM_RING_SIZE);
    stream->ring_start = 0;
    stream->ring_count = got;
    stream->ring_was_full = got == STREAM_RING_SIZE ? 1 : 0;
    return 0;
}

static void consume_ring(SocketStream *stream, int count)
{
    assert(count >= 0 && count <= stream->ring_count);
    stream->ring_count -= count;
    stream->ring_start += count;
    if (stream->ring_start >= STREAM_RING_SIZE)
        stream->ring_start -= STREAM_RING_SIZE;
}

int stream_read_byte(SocketStream *stream)
{
    if (stream == nullptr)
        return -1;
    if (stream->ring_count == 0 && fill_ring(stream) != 0)
        return -1;
    assert(stream->ring_start >= 0 && stream->ring_start < STREAM_RING_SIZE);
    assert(stream->ring_count > 0 && stream->ring_count <= STREAM_RING_SIZE);
    int byte = stream->ring[stream->ring_start];
    consume_ring(stream, 1);
    return byte;
}

char *stream_read_line(SocketStream *stream, char *buffer, int limit)
{
    // The buffer holds limit+1 bytes; a limit below 1 leaves no room for even one byte.
    if (stream == nullptr || buffer == nullptr || limit < 1)
        return nullptr;
    // A line ends behind its LF or a NUL byte, or after limit bytes; it is taken from the
    // ring a run at a time, which matters for listings of a million lines.
    int stored = 0;
    while (stored < limit) {
        if (stream->ring_count == 0 && fill_ring(stream) != 0)
            break;
        assert(stream->ring_start >= 0 && stream->ring_start < STREAM_RING_SIZE);
        int run = stream->ring_count;
        if (run > STREAM_RING_SIZE - stream->ring_start)
            run = STREAM_RING_SIZE - stream->ring_start;
        if (run > limit - stored)
            run = limit - stored;
        const char *from = (const char *)stream->ring + stream->ring_start;
        const char *lf = (const char *)memchr(from, '\n', (size_t)run);
        size_t take = lf ? (size_t)(lf - from) + 1 : (size_t)run;
        size_t before_nul = strnlen(from, take);
        bool ended = lf != nullptr;
        if (before_nul < take) {
            take = before_nul + 1;
            ended = true;
        }
        memcpy(buffer + stored, from, take);
        stored += (int)take;
        consume_ring(stream, (int)take);
        if (ended)
            break;
    }
    if (stored == 0)
        return nullptr;
    buffer[stored] = '\0';
    return buffer;
}

// Hands out up to size bytes of the read-ahead; 0 when it holds none.
static int take_ahead(SocketStream *stream, unsigned char *out, int size)
{
    int n = stream->ahead_count < size ? stream->ahead_count : size;
    if (n <= 0)
        return 0;
    memcpy(out, stream->ahead + stream->ahead_start, (size_t)n);
    stream->ahead_start += n;
    stream->ahead_count -= n;
    assert(stream->ahead_count >= 0 && stream->ahead_start + stream->ahead_count <= STREAM_AHEAD_SIZE);
    return n;
}

int stream_receive(SocketStream *stream, void *buffer, int size)
{
    if (stream == nullptr || buffer == nullptr || size <= 0)
        return -1;
    unsigned char *out = (unsigned char *)buffer;
    int placed = 0;
    while (stream->ring_count > 0 && placed < size)
        out[placed++] = (unsigned char)stream_read_byte(stream);
    if (placed == size)
        return size;
    // Bytes taken ahead are there already: no wait, no receive.
    if (stream->ahead_count > 0)
        return placed + take_ahead(stream, out + placed, size - placed);
    if (stream->broken)
        return placed > 0 ? placed : -1;
    // A small read with nothing in hand fills the read-ahead with one receive and is
    // served from it, as are the reads after it until it is empty.
    if (placed == 0 && size < STREAM_DIRECT_RECEIVE) {
        if (stream->ahead == nullptr)
            stream->ahead = new (std::nothrow) unsigned char[STREAM_AHEAD_SIZE];
        if (stream->ahead != nullptr) {
            int got = receive_waiting_if_needed(stream, stream->ahead, STREAM_AHEAD_SIZE);
            if (got <= 0)
                return got;
            stream->ahead_start = 0;
            stream->ahead_count = got;
            return take_ahead(stream, out, size);
        }
    }
    if (placed == 0)
        return receive_waiting_if_needed(stream, out, size);
    int got;
    if (stream->tls != nullptr) {
        got = stream_tls_recv(stream, out + placed, size - placed);
    } else {
        if (stream_wait(stream, 0) != 0)
            return placed;
        got = stream_raw_receive(stream, out + placed, size - placed);
    }
    // Bytes taken from the ring are handed out whatever the recv said. The end shows again
    // at the next call; a failure (a reset) does not, as the recv has taken it: keep it.
    if (got < 0 && net_last_error_kind() != NET_ERROR_WOULD_BLOCK)
        stream->broken = 1;
    return got > 0 ? placed + got : placed;
}

