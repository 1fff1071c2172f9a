#include "platform/net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "platform/net_address.h"
#include "util/text.h"

static std::atomic<NetSendFault> installed_send_fault{nullptr};

static int to_fd(net_socket_t socket)
{
    return (int)socket;
}

void net_startup(void)
{
}

int net_last_error_kind(void)
{
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return NET_ERROR_WOULD_BLOCK;
    return NET_ERROR_OTHER;
}

void net_note_failure(Failure *failure)
{
    int error = errno;
    failure_note(failure, error == ECONNREFUSED ? FAILURE_REFUSED : FAILURE_UNREACHABLE, "%s", strerror(error));
}

net_socket_t net_socket_tcp(int family)
{
    // Close-on-exec keeps sockets out of child processes (tests start real servers).
    int fd = ::socket(family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? NET_NO_SOCKET : (net_socket_t)fd;
}

void net_close(net_socket_t socket)
{
    if (socket != NET_NO_SOCKET)
        ::close(to_fd(socket));
}

int net_bind(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    sockaddr_storage a;
    int length = net_make_address(address, port, &a);
    if (length == 0) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return ::bind(to_fd(socket), (sockaddr *)&a, (socklen_t)length) == 0 ? 0 : -1;
}

int net_set_reuse_address(net_socket_t socket)
{
    int on = 1;
    return setsockopt(to_fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 ? 0 : -1;
}

int net_listen(net_socket_t socket, int backlog)
{
    return ::listen(to_fd(socket), backlog) == 0 ? 0 : -1;
}

net_socket_t net_accept(net_socket_t socket)
{
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    int fd;
    do {
        fd = ::accept4(to_fd(socket), (sockaddr *)&peer, &length, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? NET_NO_SOCKET : (net_socket_t)fd;
}

// The system's connect to an address of either family: 0, or -1 with errno set.
static int connect_to(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    sockaddr_storage a;
    int length = net_make_address(address, port, &a);
    if (length == 0) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    return ::connect(to_fd(socket), (sockaddr *)&a, (socklen_t)length) == 0 ? 0 : -1;
}

int net_connect(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    if (connect_to(socket, address, port) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    // An interrupted connect goes on in the background: wait for its outcome.
    pollfd p = {to_fd(socket), POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0) {
        if (errno != EINTR)
            return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(to_fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return -1;
    return 0;
}

int net_connect_start(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    if (connect_to(socket, address, port) == 0)
        return 0;
    // An interrupted connect goes on in the background, like one in progress.
    return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int net_connect_result(net_socket_t socket)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(to_fd(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    sockaddr_storage peer;
    socklen_t peer_length = sizeof peer;
    return getpeername(to_fd(socket), (sockaddr *)&peer, &peer_length) == 0 ? 0 : -1;
}

int net_send(net_socket_t socket, const void *bytes, int length)
{
    NetSendFault fault = installed_send_fault.load();
    if (fault != nullptr && fault(socket) != 0) {
        errno = EAGAIN;
        return -1;
    }
    ssize_t sent;
    do {
        sent = ::send(to_fd(socket), bytes, (size_t)length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? -1 : (int)sent;
}

int net_recv(net_socket_t socket, void *buffer, int size)
{
    ssize_t got;
    do {
        got = ::recv(to_fd(socket), buffer, (size_t)size, 0);
    } while (got < 0 && errno == EINTR);
    return got < 0 ? -1 : (int)got;
}

int net_set_nonblocking(net_socket_t socket, int on)
{
    int value = on ? 1 : 0;
    return ioctl(to_fd(socket), FIONBIO, &value) == 0 ? 0 : -1;
}

int net_socket_name(net_socket_t socket, int peer, NetAddress *address, uint16_t *port)
{
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    socklen_t length = sizeof a;
    int result = peer ? getpeername(to_fd(socket), (sockaddr *)&a, &length)
                      : getsockname(to_fd(socket), (sockaddr *)&a, &length);
    if (result != 0)
        return -1;
    return net_take_address((const sockaddr *)&a, (size_t)length, address, port);
}

int net_parse_ipv4(const char *text, uint32_t *address)
{
    in_addr_t value = inet_addr(text);
    if (value == INADDR_NONE)
        return -1;
    *address = (uint32_t)value;
    return 0;
}

int net_system_resolve(const char *name, NetAddress *addresses, int capacity)
{
    // Either family, in the resolver's order (RFC 6724's preference). No AI_ADDRCONFIG:
    // it hides every address on a machine that has only its loopback, and an address of
    // a family the machine cannot reach fails its connect at once anyway.
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr)
        return -1;
    int count = net_take_found(found, addresses, capacity);
    freeaddrinfo(found);
    return count;
}

int net_reverse_lookup(const NetAddress &address, char *name, int size)
{
    if (size < 1)
        return -1;
    sockaddr_storage a;
    int length = net_make_address(address, 0, &a);
    if (length == 0)
        return -1;
    char host[NI_MAXHOST];
    if (getnameinfo((sockaddr *)&a, (socklen_t)length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return -1;
    return text_copy(name, (size_t)size, host);
}

void net_set_send_fault(NetSendFault fault)
{
    installed_send_fault.store(fault);
}

net_socket_t net_wake_open(void)
{
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return NET_NO_SOCKET;
    sockaddr_storage a;
    int length = net_make_address(net_address_ipv4(htonl(INADDR_LOOPBACK)), 0, &a);
    if (::bind(fd, (sockaddr *)&a, (socklen_t)length) != 0) {
        ::close(fd);
        return NET_NO_SOCKET;
    }
    return (net_socket_t)fd;
}

void net_wake(net_socket_t wake)
{
    if (wake == NET_NO_SOCKET)
        return;
    sockaddr_in self;
    socklen_t length = sizeof self;
    if (getsockname(to_fd(wake), (sockaddr *)&self, &length) != 0)
        return;
    char byte = 1;
    sendto(to_fd(wake), &byte, 1, MSG_NOSIGNAL, (sockaddr *)&self, length);
}

void net_wake_clear(net_socket_t wake)
{
    char bytes[64];
    if (wake != NET_NO_SOCKET) {
        while (::recv(to_fd(wake), bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
        }
    }
}

int net_wait_woken(net_socket_t socket, int what, net_socket_t other, net_socket_t wake, int timeout_ms)
{
    pollfd p[3] = {{to_fd(socket), (short)(what == NET_READ ? POLLIN : POLLOUT), 0},
                   {other == NET_NO_SOCKET ? -1 : to_fd(other), POLLIN, 0},
                   {wake == NET_NO_SOCKET ? -1 : to_fd(wake), POLLIN, 0}};
    int result = ::poll(p, 3, timeout_ms);
    if (result < 0)
        return errno == EINTR ? 0 : -1;
    return (p[0].revents ? 1 : 0) | (p[1].revents ? 2 : 0) | (p[2].revents ? 4 : 0);
}

uint32_t net_clock_ms(void)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (uint32_t)((uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u);
}

void net_pause_ms(int milliseconds)
{
    timespec t;
    t.tv_sec = milliseconds / 1000;
    t.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}
