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

// A failure of TLS itself (not of a wait, which notes its own), noted with its reason: a
// data connection that fails its handshake or breaks off with an alert says why.
static int tls_failed(SocketStream *stream)
{
    const char *reason = tls_reason(stream->tls);
    StreamLimits *limits = stream->limits != nullptr ? stream->limits : &stream->own_limits;
    failure_note(limits->failure, FAILURE_TLS, "TLS: %s", reason[0] ? reason : "the connection failed");
    return -1;
}

// The handshake, after the peer of a listening stream was accepted: 0 done, -1 failed.
static int handshake(SocketStream *stream)
{
    if (tls_handshake_done(stream->tls))
        return 0;
    if (stream->connected_socket == NET_NO_SOCKET) {
        // The peer is accepted without waiting for it to speak: in TLS the client speaks
        // first, and a server that sent its 150 before connecting would wait for us
        // while we waited for it.
        if (stream_accept(stream) == NET_NO_SOCKET)
            return -1;
    }
    // Bound when the peer came, and never blocking: the waits below do the waiting.
    tls_connection_set_socket(stream->tls, stream->connected_socket);
    net_set_nonblocking(stream->connected_socket, 1);
    for (;;) {
        int step = tls_handshake(stream->tls);
        if (step == 0)
            return 0;
        if (step == -1)
            return tls_failed(stream);
        if (wait_for(stream, step) != 0)
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
        if (got == TLS_ENDED_UNCLEAN) {
            // An end all the same, marked: the layers above know whether a size says
            // that everything came.
            stream->ended_unclean = 1;
            return 0;
        }
        if (got == -1)
            return tls_failed(stream);
        if (wait_for(stream, got) != 0)
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
        if (sent == -1)
            return tls_failed(stream);
        if (wait_for(stream, sent) != 0)
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
            if (got == 0 || got == -1 || got == TLS_ENDED_UNCLEAN)
                break;
            if (got < 0 && stream_wait(stream, got == TLS_WANT_WRITE ? 1 : 0) != 0)
                break;
        }
    }
    tls_connection_free(stream->tls, 0);
    stream->tls = nullptr;
}
