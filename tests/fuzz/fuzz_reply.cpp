// The control connection's readers over a real stream: the fuzzer's bytes are what the
// server sent before it closed. The selector bytes at the front pick, call by call, whether
// the reply reader runs or a raw line of some length is taken from under it, so that
// replies are read from every position.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/socket.h>
#include <unistd.h>

#include "session/session.h"

namespace {

enum { SELECTOR_BYTES = 8, MAX_INPUT = 64 * 1024 };

// True when the stream has nothing buffered and the peer has closed.
bool at_end(SocketStream *stream)
{
    if (stream->ring_count > 0)
        return false;
    char byte;
    return recv((int)stream->connected_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < SELECTOR_BYTES || size > MAX_INPUT)
        return 0;
    const uint8_t *selector = data;
    data += SELECTOR_BYTES;
    size -= SELECTOR_BYTES;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    // The whole input fits the socket's buffer, so the writer never waits for the reader.
    int buffer_size = 4 * MAX_INPUT;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = send(pair[1], data + sent, size - sent, 0);
        if (n <= 0)
            abort();
        sent += (size_t)n;
    }
    close(pair[1]);

    SocketStream *stream = new SocketStream();
    stream->connected_socket = pair[0];
    stream->listen_socket = NET_NO_SOCKET;
    FtpSession *session = session_create();
    session->control = stream;

    for (size_t call = 0; call <= size + 1 && !at_end(stream); call++) {
        uint8_t pick = selector[call % SELECTOR_BYTES];
        int limit = 1 + (pick >> 2) % 40;
        if (pick & 0x80)
            limit = SESSION_REPLY_LIMIT;
        if ((pick & 3) != 2) {
            session_reply(session);
            if (strnlen(session->reply, sizeof session->reply) > SESSION_REPLY_LIMIT)
                abort();
        } else {
            // A line taken from under the reader: the next reply starts anywhere.
            char *buffer = (char *)malloc((size_t)limit + 1);
            if (stream_read_line(stream, buffer, limit) && strnlen(buffer, (size_t)limit + 1) > (size_t)limit)
                abort();
            free(buffer);
        }
    }
    // After the peer closed, every reader reports the end.
    char tail[8];
    if (session_reply(session) != 0 || stream_read_line(stream, tail, 7) != nullptr)
        abort();
    session_destroy(session);
    return 0;
}
