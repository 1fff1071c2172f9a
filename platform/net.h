// The sockets underneath the stream: Winsock 1.1 on Windows, BSD sockets on Linux, with
// the same results on both. Everything above this layer is portable.
//
// Addresses are 4 bytes in network order carried in a uint32_t (the first number of the
// dotted text first in memory); ports are in host order. Calls answer 0 (or a count) for
// success and -1 for failure; net_last_error_kind tells the few failures that callers
// react to.
#pragma once

#include <cstdint>

#include "util/failure.h"

// A socket handle wide enough for both systems (a SOCKET on Windows, a descriptor on Linux).
typedef intptr_t net_socket_t;

// The value that no real socket has on either system (INVALID_SOCKET / -1).
const net_socket_t NET_NO_SOCKET = (net_socket_t)-1;

enum NetErrorKind {
    NET_ERROR_OTHER = 0,
    NET_ERROR_WOULD_BLOCK = 1,      // WSAEWOULDBLOCK / EAGAIN: try again shortly
    NET_ERROR_NOT_INITIALISED = 2,  // WSANOTINITIALISED: never seen on Linux
};

// WSAStartup for version 1.1 on Windows (result ignored); nothing on Linux. Safe to call
// any number of times.
void net_startup(void);

// Classifies the error of the last failed call on this thread.
int net_last_error_kind(void);
// Notes (failure_note) why the last failed call on this thread failed: a refused connect,
// or a network that gave up or lost the connection, with the system's own words for it.
void net_note_failure(Failure *failure);

// An IPv4 stream socket in blocking mode, or NET_NO_SOCKET.
net_socket_t net_socket_tcp(void);
void net_close(net_socket_t socket);

int net_bind(net_socket_t socket, uint32_t address, uint16_t port);
// Lets a listening socket bind a port whose earlier connections still linger in TIME_WAIT
// (SO_REUSEADDR on Linux, where two listeners still cannot share a port). Nothing on
// Windows, whose SO_REUSEADDR would let another program take the port over, and whose
// bind is not held up by TIME_WAIT.
int net_set_reuse_address(net_socket_t socket);
int net_listen(net_socket_t socket, int backlog);
// Blocks until a peer connects (unless the socket is non-blocking); NET_NO_SOCKET on failure.
net_socket_t net_accept(net_socket_t socket);
int net_connect(net_socket_t socket, uint32_t address, uint16_t port);
// A connect that never blocks, on a socket made non-blocking first: 0 connected at once,
// 1 under way (wait with net_wait_woken for NET_CONNECT), -1 failed.
int net_connect_start(net_socket_t socket, uint32_t address, uint16_t port);
// 0 when the connect that ended made a connection, -1 when it was refused or failed (the
// connect's own error is then this thread's last one, for net_note_failure).
int net_connect_result(net_socket_t socket);

// One send or recv: the count moved, 0 from recv when the peer closed, -1 on failure.
// A send to a closed peer fails; it never raises a signal.
int net_send(net_socket_t socket, const void *bytes, int length);
int net_recv(net_socket_t socket, void *buffer, int size);

int net_set_nonblocking(net_socket_t socket, int on);

// The address and port of this end (peer 0) or the far end of a socket; 0 or -1.
int net_socket_name(net_socket_t socket, int peer, uint32_t *address, uint16_t *port);
inline int net_local_name(net_socket_t socket, uint32_t *address, uint16_t *port)
{
    return net_socket_name(socket, 0, address, port);
}
inline int net_peer_name(net_socket_t socket, uint32_t *address, uint16_t *port)
{
    return net_socket_name(socket, 1, address, port);
}


// Reads a dotted address the way inet_addr does; -1 for text that is not one. As with
// inet_addr, "255.255.255.255" is indistinguishable from a failure and gives -1.
int net_parse_ipv4(const char *text, uint32_t *address);

// Name to first IPv4 address (gethostbyname on Windows, getaddrinfo restricted to AF_INET
// on Linux), or through the resolver installed with net_set_resolver.
int net_resolve_name(const char *name, uint32_t *address);
// The system's own lookup, which net_resolve_name asks when no resolver is installed.
int net_system_resolve(const char *name, uint32_t *address);

// Replaces the system's name resolution (tests must never send a DNS query); null puts
// the system's back. The function answers 0 with the address stored, or -1.
typedef int (*NetResolver)(const char *name, uint32_t *address);
void net_set_resolver(NetResolver resolver);

// The official name of an address (gethostbyaddr / getnameinfo); -1 when it has none or
// the name does not fit.
int net_reverse_lookup(uint32_t address, char *name, int size);

// Test seam: while a fault function is installed, every net_send first asks it (with the
// socket, so a test can aim at one connection) and, when it answers non-zero, fails as a
// send that would block (WSAEWOULDBLOCK / EAGAIN) without touching the socket. Null
// removes it.
typedef int (*NetSendFault)(net_socket_t socket);
void net_set_send_fault(NetSendFault fault);

// A wake socket: a datagram socket bound to 127.0.0.1 that a wait watches besides its own
// socket, so that another thread ends the wait at once by sending it a byte. NET_NO_SOCKET
// when none can be made (waits then simply run their slices out).
net_socket_t net_wake_open(void);
// Sends the wake socket one byte, to itself; safe from any thread while it is open.
void net_wake(net_socket_t wake);
// Reads and drops whatever the wake socket holds.
void net_wake_clear(net_socket_t wake);

enum { NET_READ = 0, NET_WRITE = 1, NET_CONNECT = 2 };
// Waits at most timeout_ms until the socket is ready for `what` (NET_CONNECT: a connect
// under way ended, either way), `other` is readable, or `wake` is. The answer has bit 1
// set for the socket, bit 2 for other and bit 4 for wake; 0 when the time passed (or the
// wait was interrupted); -1 when the wait failed. A hang-up or an error counts as ready.
// NET_NO_SOCKET leaves other or wake unwatched.
int net_wait_woken(net_socket_t socket, int what, net_socket_t other, net_socket_t wake, int timeout_ms);

// Milliseconds of a clock that never goes back (wraps after 49 days: compare differences).
uint32_t net_clock_ms(void);

// Sleeps the calling thread (the short pause of a send that would block).
void net_pause_ms(int milliseconds);
