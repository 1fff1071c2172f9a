// The socket stream: the only place where Kestrel touches TCP. A stream is either a
// connected socket or a listening socket (active-mode data connections). Every wait is
// cut into one-second slices that look at the cancel flag, so another thread can stop a
// blocked transfer within about a second; nothing times out by itself.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"

enum { STREAM_RING_SIZE = 2000 };

struct SocketStream {
    net_socket_t connected_socket;   // NET_NO_SOCKET until connected or accepted
    net_socket_t listen_socket;      // NET_NO_SOCKET in a connecting stream
    unsigned char ring[STREAM_RING_SIZE];
    int32_t ring_start;
    int32_t ring_count;
    std::atomic<int32_t> cancelled;  // set by another thread, read before every wait
    int32_t broken;                  // a receive failed after handing out ring bytes
};

// Addresses are 4 bytes in network order carried in a uint32_t (first byte of the dotted
// text first in memory); ports are host order.

void winsock_start(void);
char *format_ipv4(uint32_t address, char *out /* 16 bytes */);
int resolve_host(const char *name, uint32_t *address);
int lookup_host_name(uint32_t address, char *name, int size /* at least 1000 */);

// Connects to host (dotted text, or a name; "localhost" needs no lookup) on remote_port.
// Returns null on any failure, leaving nothing open. The caller owns the stream until
// stream_close.
SocketStream *stream_open(const char *host, int remote_port);
SocketStream *stream_open_address(uint32_t address, int remote_port);
// A listening stream bound to the given address and port (the address a PORT command
// announces), able to bind a port whose last connections still linger in TIME_WAIT.
SocketStream *stream_listen(uint32_t address, int local_port);
void stream_close(SocketStream *stream);
// Closes the socket of a stream but keeps the stream: every later send, read or wait fails
// at once and no byte still in the ring is handed out. The stream itself stays valid for a
// cancel from another thread until stream_close.
void stream_disconnect(SocketStream *stream);

void stream_set_nonblocking(SocketStream *stream);
int stream_cancel(SocketStream *stream);

// Accepts the peer's connection on a listening stream, waiting in one-second slices that
// look at the cancel flag; NET_NO_SOCKET when cancelled or when the accept fails. A read or
// send on a listening stream that has not accepted yet accepts first in the same way.
net_socket_t stream_accept(SocketStream *stream);
// Waits, in the same cancellable slices, until a listening stream has a connection to
// accept (1) or the other stream has something to read (2); -1 when cancelled.
int stream_wait_accept(SocketStream *listening, SocketStream *other);

int stream_send(SocketStream *stream, const void *bytes, int length);
int stream_send_text(SocketStream *stream, const char *text);

int stream_read_byte(SocketStream *stream);
char *stream_read_line(SocketStream *stream, char *buffer, int limit);
int stream_receive(SocketStream *stream, void *buffer, int size);

uint32_t stream_local_address(SocketStream *stream);
uint32_t stream_peer_address(SocketStream *stream);
uint16_t stream_local_port(SocketStream *stream);
uint16_t stream_peer_port(SocketStream *stream);
