// TLS over a stream: the handshake and every TLS read and write are driven on the
// non-blocking socket, and each time the TLS layer needs the network the stream's own
// wait runs, so a cancel and the time limit end a handshake exactly as they end a read.
#include "transport/stream_tls.h"

int stream_start_tls(SocketStream *stream, TlsClient *client, SocketStream *resume)
{
    if (stream == nullptr || client == nullptr)
        return -1;
    // A listening stream has no socket until its peer is accepted, at the first wait.
    stream->tls = tls_connection_new(client, stream->connected_socket, resume ? resume->tls : nullptr);
    return stream->tls != nullptr ? 0 : -1;
}

// Repeats a TLS call's wish for the network as one wait of the stream: 0 go on, -1 stop.
static int wait_for(SocketStream *stream, int wanted)
{
    return stream_wait(stream, wanted == TLS_WANT_WRITE ? 1 : 0);
}

// The handshake, after the peer of a listening stream was accepted: 0 done, -1 failed.
static int handshake(SocketStream *stream)
{
    if (tls_handshake_done(stream->tls))
        return 0;
    if (stream->connected_socket == NET_NO_SOCKET) {
        // The wait accepts the peer (or fails when there is none to come).
        if (stream_wait(stream, 0) != 0 || stream->connected_socket == NET_NO_SOCKET)
            return -1;
    }
    // Bound when the peer came, and never blocking: the waits below do the waiting.
    tls_connection_set_socket(stream->tls, stream->connected_socket);
    net_set_nonblocking(stream->connected_socket, 1);
    for (;;) {
        int step = tls_handshake(stream->tls);
        if (step == 0)
            return 0;
        if (step == -1 || wait_for(stream, step) != 0)
            return -1;
    }
}

int stream_tls_handshake(SocketStream *stream)
{
    if (stream == nullptr || stream->tls == nullptr || stream->broken)
        return -1;
    return handshake(stream);
}

const char *stream_tls_reason(SocketStream *stream)
{
    return stream != nullptr && stream->tls != nullptr ? tls_reason(stream->tls) : "";
}

int stream_tls_recv(SocketStream *stream, void *buffer, int size)
{
    if (stream->broken || handshake(stream) != 0)
        return -1;
    for (;;) {
        int got = tls_read(stream->tls, buffer, size);
        if (got >= 0)
            return got;
        if (got == -1 || wait_for(stream, got) != 0)
            return -1;
    }
}

int stream_tls_send(SocketStream *stream, const void *bytes, int length)
{
    if (stream->broken || handshake(stream) != 0)
        return -1;
    const char *position = (const char *)bytes;
    int remaining = length;
    while (remaining > 0) {
        int sent = tls_write(stream->tls, position, remaining);
        if (sent > 0) {
            position += sent;
            remaining -= sent;
            continue;
        }
        if (sent == -1 || wait_for(stream, sent) != 0)
            return -1;
    }
    return length;
}

int stream_tls_pending(SocketStream *stream)
{
    return stream != nullptr && stream->tls != nullptr ? tls_pending(stream->tls) : 0;
}

void stream_tls_end(SocketStream *stream)
{
    if (stream == nullptr || stream->tls == nullptr)
        return;
    // After a cancel or a broken connection the alert has nobody to go to.
    if (!stream->broken && stream->connected_socket != NET_NO_SOCKET && tls_close_begin(stream->tls)) {
        // An upload ends when the server has read it all and closes: wait for that, in the
        // stream's waits (a cancel or the time limit cut it short), dropping what comes.
        char scratch[4096];
        for (;;) {
            int got = tls_read(stream->tls, scratch, (int)sizeof scratch);
            if (got == 0 || got == -1)
                break;
            if (got < 0 && stream_wait(stream, got == TLS_WANT_WRITE ? 1 : 0) != 0)
                break;
        }
    }
    tls_connection_free(stream->tls, 0);
    stream->tls = nullptr;
}
