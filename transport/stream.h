// The ring, lines and blocks of a stream: the bytes of a connection as lines (the control
// connection's replies, listings) or blocks (file data), buffered both ways, over the
// socket (transport/stream_socket.h) or over TLS (transport/stream_tls.h).
#pragma once

#include "transport/stream_socket.h"
#include "transport/stream_tls.h"

void stream_close(SocketStream *stream);
// Closes the socket of a stream but keeps the stream: every later send, read or wait fails
// at once and no byte still in the ring is handed out. The stream itself stays valid for a
// cancel from another thread until stream_close.
void stream_disconnect(SocketStream *stream);
int stream_send(SocketStream *stream, const void *bytes, int length);
int stream_send_text(SocketStream *stream, const char *text);
// Takes length bytes for sending: small pieces wait in the stream's send buffer, which
// goes out when it is full; anything at least as large as that buffer goes out at once
// behind what waits. length, or -1 when the stream is cancelled or out of time, or when
// this or an earlier send of buffered bytes failed (then every later call fails too).
int stream_send_buffered(SocketStream *stream, const void *bytes, int length);
// Sends what waits in the send buffer: 0, or -1 when that fails or an earlier buffered
// send failed. Closing a stream never sends what waits: its owner flushes first.
int stream_flush(SocketStream *stream);

int stream_read_byte(SocketStream *stream);
char *stream_read_line(SocketStream *stream, char *buffer, int limit);
// A block read: bytes from the ring first, then from the read-ahead (which needs no wait
// while it holds bytes), then from the socket. At most size bytes; 0 at the end of the
// data, -1 on failure or cancel.
int stream_receive(SocketStream *stream, void *buffer, int size);

