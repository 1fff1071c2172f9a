// Waits and connects that only the tests need, over the library's own calls: a plain
// readiness wait, the wait for a connect under way, a blocking client stream, and a
// cancel through a stream's limits.
#pragma once

#include <ostream>

#include "platform/net.h"
#include "transport/stream.h"

// Addresses compare and print in assertions.
inline bool operator==(const NetAddress &a, const NetAddress &b)
{
    return net_address_equal(a, b);
}
inline bool operator!=(const NetAddress &a, const NetAddress &b)
{
    return !net_address_equal(a, b);
}
inline void PrintTo(const NetAddress &address, std::ostream *out)
{
    char text[NET_ADDRESS_TEXT_SIZE];
    *out << (address.family == 0 ? "(no address)" : net_format_address(address, text, sizeof text));
}

// Waits at most timeout_ms for the socket to become readable (for_write 0) or writable
// (for_write 1): 1 ready, 0 time passed, -1 the wait itself failed.
int net_wait(net_socket_t socket, int for_write, int timeout_ms);
// Waits at most timeout_ms for a connect under way to end: 1 it ended (net_connect_result
// tells how), 0 time passed, -1 the wait itself failed.
int net_connect_wait(net_socket_t socket, int timeout_ms);

// Connects to host (dotted text, or a name; "localhost" needs no lookup) on remote_port
// under the stream's own limits, then makes the socket blocking again. Null on any
// failure, leaving nothing open.
SocketStream *stream_open(const char *host, int remote_port);
// Cancels through the stream's limits; from another thread only while the stream cannot
// be closed meanwhile.
int stream_cancel(SocketStream *stream);
