// The socket under a stream: the only place where Kestrel touches TCP. A stream is either
// a connected socket or a listening socket (active-mode data connections). Every wait, the
// connect included, is cut into one-second slices that look at the cancel flag, and also
// watches a wake socket that the cancel sends a byte to, so another thread stops a blocked
// transfer at once (within a second even without the wake); each wait ends once its
// limits' time passes without the socket becoming ready. The ring, lines and blocks on top
// are transport/stream.h; TLS sits between the two (transport/stream_tls.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/net.h"
#include "platform/tls.h"

enum { STREAM_RING_SIZE = 2000 };

// File data moves in large pieces: every receive and send costs a readiness wait and a
// system call (and under Wine a round trip through its server), whatever its size.
enum {
    // A block receive asking for at least this much goes straight into the caller's
    // buffer; a smaller one is served from the stream's read-ahead, which one receive
    // fills with up to STREAM_AHEAD_SIZE bytes.
    STREAM_DIRECT_RECEIVE = 64 * 1024,
    STREAM_AHEAD_SIZE = 1024 * 1024,
    // Buffered sends gather in a buffer of this size and go out when it is full or
    // flushed; a send at least this large goes out at once.
    STREAM_SEND_BUFFER_SIZE = 256 * 1024,
};

// What bounds the waits of every stream that points at it. Its owner keeps it for longer
// than any of those streams (a session: for the whole life of its handle), so a cancel
// from another thread, which only sets `cancelled`, never touches a stream that the busy
// thread may be closing.
struct StreamLimits {
    std::atomic<int32_t> cancelled{0};
    net_socket_t wake = NET_NO_SOCKET;  // woken by a cancel
    int32_t timeout_seconds = 0;     // a wait without progress for this long fails; 0: never
    // A wait of one of the streams ran out of time: like a cancel, every later wait of all
    // of them fails at once, since a server that fell silent on one connection cannot be
    // trusted to answer in step on another. Only the busy thread touches it.
    int32_t timed_out = 0;
    // While span_on is set (a reply under way), every wait is measured from span_started
    // (net_clock_ms) instead of from its own start: the time limit bounds the whole span.
    // Only the busy thread touches them.
    uint32_t span_started = 0;
    int32_t span_on = 0;
    // Where the streams note why a connect, wait, receive or send failed (failure_note:
    // the first reason of an operation stays); null: nowhere. Only the busy thread.
    Failure *failure = nullptr;
};

struct SocketStream {
    net_socket_t connected_socket;   // NET_NO_SOCKET until connected or accepted
    net_socket_t listen_socket;      // NET_NO_SOCKET in a connecting stream
    unsigned char ring[STREAM_RING_SIZE];
    int32_t ring_start;
    int32_t ring_count;
    StreamLimits own_limits;         // used while `limits` names no others
    StreamLimits *limits;            // null: own_limits
    int32_t broken;                  // a receive failed after handing out ring bytes
    // The connected socket was made non-blocking (stream_set_nonblocking, a connect that
    // stays so), and the last refill took a whole ring: then a refill asks the socket
    // first and waits only when it has nothing, one call per ring while data streams in.
    int32_t nonblocking;
    int32_t ring_was_full;
    // Read-ahead of block receives (null until the first small one): the bytes at
    // ahead[ahead_start], ... ahead_count of them, come before anything on the socket.
    unsigned char *ahead;
    int32_t ahead_start;
    int32_t ahead_count;
    // Buffered sends not yet handed to the socket (null until the first one), and whether
    // a send of them failed: their writers were told they were taken, so every later
    // buffered send and the flush must fail.
    unsigned char *unsent;
    int32_t unsent_count;
    int32_t send_failed;
    TlsConnection *tls;              // null: plain; else every byte goes through it
};

// Addresses are 4 bytes in network order carried in a uint32_t (first byte of the dotted
// text first in memory); ports are host order.

void winsock_start(void);
char *format_ipv4(uint32_t address, char *out /* 16 bytes */);
int resolve_host(const char *name, uint32_t *address);
int lookup_host_name(uint32_t address, char *name, int size /* at least 1000 */);

// A listening stream bound to the given address and port (the address a PORT command
// announces), able to bind a port whose last connections still linger in TIME_WAIT.
SocketStream *stream_listen(uint32_t address, int local_port);
// A connecting stream whose connect and every later wait obey limits (null: the stream's
// own, without a time limit); null when the connect is refused, cancelled or runs out of
// time, leaving nothing open. The socket is non-blocking.
SocketStream *stream_connect(uint32_t address, int remote_port, StreamLimits *limits);
// Puts the waits of a stream (a listening one before its peer came) under limits.
void stream_set_limits(SocketStream *stream, StreamLimits *limits);

void stream_set_nonblocking(SocketStream *stream);
// Limits that an owner keeps: made with the wake socket that lets a cancel end a wait at
// once (without one, at the end of the wait's current slice), released when no stream
// uses them any more.
void stream_limits_init(StreamLimits *limits);
void stream_limits_release(StreamLimits *limits);
// Sets the cancel flag and wakes whatever wait runs under the limits. The only call that
// another thread may make, at any time while the limits live.
void stream_limits_cancel(StreamLimits *limits);

// Accepts the peer's connection on a listening stream, waiting in one-second slices that
// look at the cancel flag; NET_NO_SOCKET when cancelled or when the accept fails. A read or
// send on a listening stream that has not accepted yet accepts first in the same way.
net_socket_t stream_accept(SocketStream *stream);
// Waits, in the same cancellable slices, until a listening stream has a connection to
// accept (1) or the other stream has something to read (2); -1 when cancelled.
int stream_wait_accept(SocketStream *listening, SocketStream *other);

uint32_t stream_local_address(SocketStream *stream);
uint32_t stream_peer_address(SocketStream *stream);
uint16_t stream_local_port(SocketStream *stream);
uint16_t stream_peer_port(SocketStream *stream);

// The stream's own wait (accepting a listening stream's peer first): 0 ready, -1 when
// cancelled or out of time.
int stream_wait(SocketStream *stream, int for_write);

// --- For the layers above the socket (TLS, the ring and blocks), not for callers.

// Cancelled, or out of time before, noting why in the limits' failure: 1 when no wait
// under the stream's limits may start any more.
int stream_is_stopped(SocketStream *stream);
// One recv or send on the connected socket with its result (the count, 0 from a receive
// at the end, -1 on failure), noting a failure other than would-block.
int stream_raw_receive(SocketStream *stream, void *buffer, int size);
int stream_raw_send(SocketStream *stream, const void *bytes, int length);
// Closes the stream's sockets and frees it; its TLS and buffers are gone already.
void stream_free_socket(SocketStream *stream);
