#include "transport/stream_socket.h"

#include <cstring>
#include <new>

#include "util/text.h"

enum {
    WAIT_SLICE_MS = 1000,     // how long a wait goes without looking at the cancel flag
    ADDRESS_TEXT_SIZE = 1000,
    LISTEN_BACKLOG = 5,
};

void winsock_start(void)
{
    net_startup();
}

char *format_ipv4(uint32_t address, char *out)
{
    unsigned char b[4];
    memcpy(b, &address, 4);
    text_format(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return out;
}

int resolve_host(const char *name, uint32_t *address)
{
    // An empty name would read as "any address" on some systems: it names no host.
    if (name == nullptr || name[0] == '\0' || address == nullptr)
        return -1;
    winsock_start();
    if (net_parse_ipv4(name, address) == 0)
        return 0;
    return net_resolve_name(name, address);
}

int lookup_host_name(uint32_t address, char *name, int size)
{
    if (name == nullptr || size < 1)
        return 0;
    winsock_start();
    if (net_reverse_lookup(address, name, size) == 0)
        return 0;
    char dotted[16];
    text_copy(name, (size_t)size, format_ipv4(address, dotted));
    return 0;
}

// A fresh socket; a Winsock that nobody started yet is started and asked once more.
static net_socket_t new_socket(void)
{
    net_socket_t s = net_socket_tcp();
    if (s == NET_NO_SOCKET && net_last_error_kind() == NET_ERROR_NOT_INITIALISED) {
        winsock_start();
        s = net_socket_tcp();
    }
    return s;
}

static SocketStream *new_stream(void)
{
    SocketStream *stream = new (std::nothrow) SocketStream();
    if (stream == nullptr)
        return nullptr;
    stream->connected_socket = NET_NO_SOCKET;
    stream->listen_socket = NET_NO_SOCKET;
    return stream;
}

void stream_limits_init(StreamLimits *limits)
{
    limits->cancelled.store(0);
    limits->timeout_seconds = 0;
    limits->timed_out = 0;
    limits->span_on = 0;
    limits->failure = nullptr;
    limits->wake = net_wake_open();
}

void stream_limits_release(StreamLimits *limits)
{
    net_close(limits->wake);
    limits->wake = NET_NO_SOCKET;
}

void stream_limits_cancel(StreamLimits *limits)
{
    limits->cancelled.store(1);
    net_wake(limits->wake);
}

// The limits a stream's waits obey: its own unless it was given others.
static StreamLimits *limits_of(SocketStream *stream)
{
    return stream->limits != nullptr ? stream->limits : &stream->own_limits;
}

static int is_cancelled(const SocketStream *stream)
{
    const StreamLimits *limits = stream->limits != nullptr ? stream->limits : &stream->own_limits;
    return limits->cancelled.load() != 0;
}

static Failure *failure_of(SocketStream *stream)
{
    return limits_of(stream)->failure;
}

static void note_time_limit(SocketStream *stream)
{
    failure_note(failure_of(stream), FAILURE_TIME_LIMIT, "nothing happened for %d s",
                 (int)limits_of(stream)->timeout_seconds);
}

// Cancelled, or out of time before: no wait of these limits starts any more (and that
// is why the operation fails).
int stream_is_stopped(SocketStream *stream)
{
    if (is_cancelled(stream)) {
        failure_note(failure_of(stream), FAILURE_CANCELLED, "cancelled");
        return 1;
    }
    if (limits_of(stream)->timed_out) {
        note_time_limit(stream);
        return 1;
    }
    return 0;
}

// The length of the next slice of a wait that began at `started`: at most a second, and
// no further than the time limit; -1 once the limit has passed (the limits then fail
// every later wait at once, as a broken connection would).
static int next_slice(SocketStream *stream, uint32_t started)
{
    int32_t seconds = limits_of(stream)->timeout_seconds;
    if (seconds <= 0)
        return WAIT_SLICE_MS;
    // Beyond about 23 days the milliseconds would not fit the clock's 32 bits.
    uint32_t limit = (uint32_t)(seconds < 2000000 ? seconds : 2000000) * 1000u;
    if (limits_of(stream)->span_on)
        started = limits_of(stream)->span_started;
    uint32_t waited = net_clock_ms() - started;
    if (waited >= limit) {
        limits_of(stream)->timed_out = 1;
        note_time_limit(stream);
        return -1;
    }
    return limit - waited < (uint32_t)WAIT_SLICE_MS ? (int)(limit - waited) : WAIT_SLICE_MS;
}

// The next slice of a wait, or -1 once the wait must stop (cancelled, out of time).
static int next_wait(SocketStream *stream, uint32_t started)
{
    if (stream_is_stopped(stream))
        return -1;
    return next_slice(stream, started);
}

// One slice of a wait on the socket (and on `other`, readable): bit 1 or 2 when ready, 0
// when the slice ran out or a cancel woke it, -1 when the wait failed. A wake without a
// cancel (a stray datagram) is dropped, so it cannot end every later slice at once.
static int wait_slice(SocketStream *stream, net_socket_t socket, int what, net_socket_t other, int slice)
{
    net_socket_t wake = limits_of(stream)->wake;
    int ready = net_wait_woken(socket, what, other, wake, slice);
    if (ready < 0) {
        net_note_failure(failure_of(stream));
        return -1;
    }
    if ((ready & 4) && !is_cancelled(stream))
        net_wake_clear(wake);
    return ready & 3;
}

// Connects the stream's socket without ever blocking for more than a slice: 0, or -1 when
// refused, cancelled or out of time.
static int connect_in_slices(SocketStream *stream, uint32_t address, int port)
{
    net_socket_t s = stream->connected_socket;
    if (net_set_nonblocking(s, 1) != 0) {
        net_note_failure(failure_of(stream));
        return -1;
    }
    int under_way = net_connect_start(s, address, (uint16_t)port);
    if (under_way < 0)
        net_note_failure(failure_of(stream));
    if (under_way <= 0)
        return under_way;
    uint32_t started = net_clock_ms();
    for (;;) {
        int slice = next_wait(stream, started);
        if (slice < 0)
            return -1;
        int ended = wait_slice(stream, s, NET_CONNECT, NET_NO_SOCKET, slice);
        if (ended < 0)
            return -1;
        if (ended & 1) {
            if (net_connect_result(s) == 0)
                return 0;
            net_note_failure(failure_of(stream));
            return -1;
        }
    }
}

SocketStream *stream_connect(uint32_t address, int remote_port, StreamLimits *limits)
{
    if (remote_port < 0 || remote_port > 65535)
        return nullptr;
    SocketStream *stream = new_stream();
    if (stream == nullptr)
        return nullptr;
    if (limits != nullptr)
        stream->limits = limits;
    stream->connected_socket = new_socket();
    if (stream->connected_socket == NET_NO_SOCKET)
        net_note_failure(failure_of(stream));
    if (stream->connected_socket == NET_NO_SOCKET || connect_in_slices(stream, address, remote_port) != 0) {
        stream_free_socket(stream);
        return nullptr;
    }
    stream->nonblocking = 1;
    return stream;
}

void stream_set_limits(SocketStream *stream, StreamLimits *limits)
{
    if (stream != nullptr)
        stream->limits = limits;
}

SocketStream *stream_listen(uint32_t address, int local_port)
{
    if (local_port < 0 || local_port > 65535)
        return nullptr;
    SocketStream *stream = new_stream();
    if (stream == nullptr)
        return nullptr;
    stream->listen_socket = new_socket();
    if (stream->listen_socket == NET_NO_SOCKET)
        goto fail;
    net_set_reuse_address(stream->listen_socket);
    if (net_bind(stream->listen_socket, address, (uint16_t)local_port) != 0 ||
        net_listen(stream->listen_socket, LISTEN_BACKLOG) != 0)
        goto fail;
    return stream;

fail:
    stream_free_socket(stream);
    return nullptr;
}

void stream_free_socket(SocketStream *stream)
{
    if (stream == nullptr)
        return;
    if (stream->connected_socket != NET_NO_SOCKET)
        net_close(stream->connected_socket);
    if (stream->listen_socket != NET_NO_SOCKET)
        net_close(stream->listen_socket);
    delete stream;
}

void stream_set_nonblocking(SocketStream *stream)
{
    if (stream != nullptr && stream->connected_socket != NET_NO_SOCKET)
        stream->nonblocking = net_set_nonblocking(stream->connected_socket, 1) == 0 ? 1 : 0;
}

// The one place where bytes come off a plain connection, and the one below where they go
// onto it. Each is a single recv or send with its result: the count, 0 from a receive at
// the end, -1 on failure. A TLS stream reads and sends through stream_tls_* instead,
// which wait on their own: decrypted bytes may be held where no socket wait sees them.
int stream_raw_receive(SocketStream *stream, void *buffer, int size)
{
    int got = net_recv(stream->connected_socket, buffer, size);
    if (got < 0 && net_last_error_kind() != NET_ERROR_WOULD_BLOCK)
        net_note_failure(failure_of(stream));
    return got;
}

int stream_raw_send(SocketStream *stream, const void *bytes, int length)
{
    int sent = net_send(stream->connected_socket, bytes, length);
    if (sent < 0 && net_last_error_kind() != NET_ERROR_WOULD_BLOCK)
        net_note_failure(failure_of(stream));
    return sent;
}

// Waits for the peer of a listening stream and accepts it: 0, or -1 when cancelled or
// the accept failed. A failed wait ends the slices too: the accept shows the outcome.
static int accept_peer(SocketStream *stream)
{
    uint32_t started = net_clock_ms();
    for (;;) {
        int slice = next_wait(stream, started);
        if (slice < 0)
            return -1;
        if (wait_slice(stream, stream->listen_socket, NET_READ, NET_NO_SOCKET, slice) != 0)
            break;
    }
    stream->connected_socket = net_accept(stream->listen_socket);
    // Whether an accepted socket inherits the listener's mode differs between systems.
    stream->nonblocking = 0;
    if (stream->connected_socket == NET_NO_SOCKET) {
        net_note_failure(failure_of(stream));
        return -1;
    }
    return 0;
}

// Waits in one-second slices, looking at the cancel flag before each. Readiness and a
// failed wait both end it with 0: a broken socket shows its failure in the next call.
int stream_wait(SocketStream *stream, int for_write)
{
    uint32_t started = net_clock_ms();
    for (;;) {
        if (stream_is_stopped(stream))
            return -1;
        // A listening stream whose peer has not been accepted yet: the peer comes first.
        if (stream->connected_socket == NET_NO_SOCKET && stream->listen_socket != NET_NO_SOCKET) {
            if (accept_peer(stream) != 0)
                return -1;
            continue;
        }
        // Nothing to wait for: the send or receive that follows fails at once.
        if (stream->connected_socket == NET_NO_SOCKET)
            return 0;
        int slice = next_slice(stream, started);
        if (slice < 0)
            return -1;
        if (wait_slice(stream, stream->connected_socket, for_write ? NET_WRITE : NET_READ, NET_NO_SOCKET, slice) != 0)
            return 0;
    }
}

net_socket_t stream_accept(SocketStream *stream)
{
    if (stream == nullptr || stream->listen_socket == NET_NO_SOCKET)
        return NET_NO_SOCKET;
    if (stream->connected_socket != NET_NO_SOCKET) {
        net_close(stream->connected_socket);
        stream->connected_socket = NET_NO_SOCKET;
    }
    accept_peer(stream);
    return stream->connected_socket;
}

int stream_wait_accept(SocketStream *listening, SocketStream *other)
{
    if (listening == nullptr || listening->listen_socket == NET_NO_SOCKET)
        return -1;
    net_socket_t watched = other != nullptr ? other->connected_socket : NET_NO_SOCKET;
    uint32_t started = net_clock_ms();
    for (;;) {
        if (stream_is_stopped(listening) || (other != nullptr && stream_is_stopped(other)))
            return -1;
        // Bytes already in the other stream's ring are there to be read.
        if (other != nullptr && (other->ring_count > 0 || (other->tls != nullptr && tls_pending(other->tls) > 0)))
            return 2;
        int slice = next_slice(listening, started);
        if (slice < 0)
            return -1;
        int ready = wait_slice(listening, listening->listen_socket, NET_READ, watched, slice);
        if (ready < 0)
            return 1;  // let the accept show what is wrong
        if (ready & 1)
            return 1;
        if (ready & 2)
            return 2;
    }
}

// One end of the connected socket: this end (peer 0) or the far end; zeros when the
// system cannot tell.
static void stream_end(SocketStream *stream, int peer, uint32_t *address, uint16_t *port)
{
    *address = 0;
    *port = 0;
    if (stream == nullptr)
        return;
    // A listening stream that has not accepted yet has its own end all the same.
    net_socket_t local = stream->connected_socket != NET_NO_SOCKET ? stream->connected_socket : stream->listen_socket;
    int result = peer ? net_peer_name(stream->connected_socket, address, port)
                      : net_local_name(local, address, port);
    if (result != 0) {
        *address = 0;
        *port = 0;
    }
}

static uint32_t end_address(SocketStream *stream, int peer)
{
    uint32_t address;
    uint16_t port;
    stream_end(stream, peer, &address, &port);
    return address;
}

static uint16_t end_port(SocketStream *stream, int peer)
{
    uint32_t address;
    uint16_t port;
    stream_end(stream, peer, &address, &port);
    return port;
}

uint32_t stream_local_address(SocketStream *stream)
{
    return end_address(stream, 0);
}

uint32_t stream_peer_address(SocketStream *stream)
{
    return end_address(stream, 1);
}

uint16_t stream_local_port(SocketStream *stream)
{
    return end_port(stream, 0);
}

uint16_t stream_peer_port(SocketStream *stream)
{
    return end_port(stream, 1);
}
