#include "platform/net.h"

// Windows Sockets 2 (ws2_32.dll): getaddrinfo and IPv6. winsock2.h must come before
// windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/net_address.h"
#include "util/text.h"

static std::atomic<NetSendFault> installed_send_fault{nullptr};

static SOCKET to_socket(net_socket_t socket)
{
    return (SOCKET)socket;
}

void net_startup(void)
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
}

int net_last_error_kind(void)
{
    switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK:
        return NET_ERROR_WOULD_BLOCK;
    case WSANOTINITIALISED:
        return NET_ERROR_NOT_INITIALISED;
    default:
        return NET_ERROR_OTHER;
    }
}

void net_note_failure(Failure *failure)
{
    int error = WSAGetLastError();
    char text[FAILURE_TEXT_SIZE];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)error,
                                  0, text, sizeof text, nullptr);
    if (length == 0)
        text_format(text, sizeof text, "socket error %d", error);
    failure_note(failure, error == WSAECONNREFUSED ? FAILURE_REFUSED : FAILURE_UNREACHABLE, "%s", text);
}

net_socket_t net_socket_tcp(int family)
{
    SOCKET s = ::socket(family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? NET_NO_SOCKET : (net_socket_t)s;
}

void net_close(net_socket_t socket)
{
    if (socket != NET_NO_SOCKET)
        closesocket(to_socket(socket));
}

int net_bind(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    sockaddr_storage a;
    int length = net_make_address(address, port, &a);
    if (length == 0) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    return ::bind(to_socket(socket), (sockaddr *)&a, length) == 0 ? 0 : -1;
}

int net_set_reuse_address(net_socket_t socket)
{
    (void)socket;
    return 0;
}

int net_listen(net_socket_t socket, int backlog)
{
    return ::listen(to_socket(socket), backlog) == 0 ? 0 : -1;
}

net_socket_t net_accept(net_socket_t socket)
{
    sockaddr_storage peer;
    int length = sizeof peer;
    SOCKET s = ::accept(to_socket(socket), (sockaddr *)&peer, &length);
    return s == INVALID_SOCKET ? NET_NO_SOCKET : (net_socket_t)s;
}

int net_connect(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    sockaddr_storage a;
    int length = net_make_address(address, port, &a);
    if (length == 0) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    return ::connect(to_socket(socket), (sockaddr *)&a, length) == 0 ? 0 : -1;
}

int net_connect_start(net_socket_t socket, const NetAddress &address, uint16_t port)
{
    if (net_connect(socket, address, port) == 0)
        return 0;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 1 : -1;
}

int net_connect_result(net_socket_t socket)
{
    int error = 0;
    int length = sizeof error;
    if (getsockopt(to_socket(socket), SOL_SOCKET, SO_ERROR, (char *)&error, &length) != 0)
        return -1;
    if (error != 0) {
        WSASetLastError(error);
        return -1;
    }
    sockaddr_storage peer;
    int peer_length = sizeof peer;
    return getpeername(to_socket(socket), (sockaddr *)&peer, &peer_length) == 0 ? 0 : -1;
}

int net_send(net_socket_t socket, const void *bytes, int length)
{
    NetSendFault fault = installed_send_fault.load();
    if (fault != nullptr && fault(socket) != 0) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    int sent = ::send(to_socket(socket), (const char *)bytes, length, 0);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int net_recv(net_socket_t socket, void *buffer, int size)
{
    int got = ::recv(to_socket(socket), (char *)buffer, size, 0);
    return got == SOCKET_ERROR ? -1 : got;
}

int net_set_nonblocking(net_socket_t socket, int on)
{
    u_long value = on ? 1 : 0;
    return ioctlsocket(to_socket(socket), FIONBIO, &value) == 0 ? 0 : -1;
}

int net_socket_name(net_socket_t socket, int peer, NetAddress *address, uint16_t *port)
{
    sockaddr_storage a;
    memset(&a, 0, sizeof a);
    int length = sizeof a;
    int result = peer ? getpeername(to_socket(socket), (sockaddr *)&a, &length)
                      : getsockname(to_socket(socket), (sockaddr *)&a, &length);
    if (result != 0)
        return -1;
    return net_take_address((const sockaddr *)&a, (size_t)length, address, port);
}

int net_parse_ipv4(const char *text, uint32_t *address)
{
    unsigned long value = inet_addr(text);
    if (value == INADDR_NONE)
        return -1;
    *address = (uint32_t)value;
    return 0;
}

int net_system_resolve(const char *name, NetAddress *addresses, int capacity)
{
    // Either family, in the resolver's order; see net_posix.cpp for why not AI_ADDRCONFIG.
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
    if (getnameinfo((sockaddr *)&a, length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return -1;
    return text_copy(name, (size_t)size, host);
}

void net_set_send_fault(NetSendFault fault)
{
    installed_send_fault.store(fault);
}

net_socket_t net_wake_open(void)
{
    net_startup();
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return NET_NO_SOCKET;
    sockaddr_storage a;
    int length = net_make_address(net_address_ipv4(htonl(INADDR_LOOPBACK)), 0, &a);
    u_long on = 1;
    if (::bind(s, (sockaddr *)&a, length) != 0 || ioctlsocket(s, FIONBIO, &on) != 0) {
        closesocket(s);
        return NET_NO_SOCKET;
    }
    return (net_socket_t)s;
}

void net_wake(net_socket_t wake)
{
    if (wake == NET_NO_SOCKET)
        return;
    sockaddr_in self;
    int length = sizeof self;
    if (getsockname(to_socket(wake), (sockaddr *)&self, &length) != 0)
        return;
    char byte = 1;
    sendto(to_socket(wake), &byte, 1, 0, (sockaddr *)&self, length);
}

void net_wake_clear(net_socket_t wake)
{
    char bytes[64];
    if (wake != NET_NO_SOCKET) {
        while (::recv(to_socket(wake), bytes, sizeof bytes, 0) > 0) {
        }
    }
}

int net_wait_woken(net_socket_t socket, int what, net_socket_t other, net_socket_t wake, int timeout_ms)
{
    // Winsock reports a connect that failed in the exception set, not as writable.
    fd_set readable, writable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    SOCKET s = to_socket(socket);
    if (what == NET_READ)
        FD_SET(s, &readable);
    else
        FD_SET(s, &writable);
    if (what == NET_CONNECT)
        FD_SET(s, &failed);
    if (other != NET_NO_SOCKET)
        FD_SET(to_socket(other), &readable);
    if (wake != NET_NO_SOCKET)
        FD_SET(to_socket(wake), &readable);
    timeval limit;
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = (timeout_ms % 1000) * 1000;
    int result = ::select(0, &readable, &writable, &failed, &limit);
    if (result == SOCKET_ERROR)
        return -1;
    if (result == 0)
        return 0;
    int ready = FD_ISSET(s, &readable) || FD_ISSET(s, &writable) || FD_ISSET(s, &failed) ? 1 : 0;
    if (other != NET_NO_SOCKET && FD_ISSET(to_socket(other), &readable))
        ready |= 2;
    if (wake != NET_NO_SOCKET && FD_ISSET(to_socket(wake), &readable))
        ready |= 4;
    return ready;
}

uint32_t net_clock_ms(void)
{
    return (uint32_t)GetTickCount();
}

void net_pause_ms(int milliseconds)
{
    Sleep((DWORD)milliseconds);
}
