#pragma once

#include "transport/stream_socket.h"

// TLS over a stream. A stream with TLS reads and sends through it; its handshake runs at
// the first read or send (a data connection's server starts it only after the transfer
// command) or at once with stream_tls_handshake, in the stream's cancellable waits under
// its limits.

// Puts TLS over the stream, offering the TLS session of `resume` (a control stream) again.
// 0, or -1 (no memory).
int stream_start_tls(SocketStream *stream, TlsClient *client, SocketStream *resume);
// Runs the handshake now: 0, or -1 when it failed, was cancelled or ran out of time.
int stream_tls_handshake(SocketStream *stream);
// Why the stream's TLS failed, in plain words; "" when it did not.
const char *stream_tls_reason(SocketStream *stream);
// The stream's reads and sends when TLS is on: as net_recv and a whole stream_send.
int stream_tls_recv(SocketStream *stream, void *buffer, int size);
int stream_tls_send(SocketStream *stream, const void *bytes, int length);
// More than 0 when the TLS layer holds received bytes not handed out yet.
int stream_tls_pending(SocketStream *stream);
// Ends the stream's TLS: the closing alert goes out when the handshake had ended.
void stream_tls_end(SocketStream *stream);
