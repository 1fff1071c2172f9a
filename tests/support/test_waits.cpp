#include "tests/support/test_waits.h"

#include <cstring>

static int ready_or_not(int answer)
{
    return answer < 0 ? -1 : (answer & 1) ? 1 : 0;
}

int net_wait(net_socket_t socket, int for_write, int timeout_ms)
{
    return ready_or_not(
        net_wait_woken(socket, for_write ? NET_WRITE : NET_READ, NET_NO_SOCKET, NET_NO_SOCKET, timeout_ms));
}

int net_connect_wait(net_socket_t socket, int timeout_ms)
{
    return ready_or_not(net_wait_woken(socket, NET_CONNECT, NET_NO_SOCKET, NET_NO_SOCKET, timeout_ms));
}

SocketStream *stream_open(const char *host, int remote_port)
{
    if (host == nullptr)
        return nullptr;
    NetAddress target;
    if (strcmp(host, "localhost") == 0) {
        net_parse_address("127.0.0.1", &target);
    } else if (resolve_host(host, &target, 1) < 1) {
        // Connecting to 0.0.0.0 instead would reach this machine on Linux.
        return nullptr;
    }
    SocketStream *stream = stream_connect(target, remote_port, nullptr);
    if (stream == nullptr)
        return nullptr;
    if (net_set_nonblocking(stream->connected_socket, 0) != 0) {
        stream_close(stream);
        return nullptr;
    }
    stream->nonblocking = 0;
    return stream;
}

int stream_cancel(SocketStream *stream)
{
    if (stream != nullptr)
        stream_limits_cancel(stream->limits != nullptr ? stream->limits : &stream->own_limits);
    return 0;
}
