// The sockets underneath the stream: Windows Sockets 2 on Windows, BSD sockets on Linux,
// with the same results on both. Everything above this layer is portable.
//
// An address is a NetAddress of either family (IPv4 or IPv6), its bytes in network order;
// ports are in host order. Calls answer 0 (or a count) for success and -1 for failure;
// net_last_error_kind tells the few failures that callers react to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/failure.h"

// A socket handle wide enough for both systems (a SOCKET on Windows, a descriptor on Linux).
typedef intptr_t net_socket_t;

// The value that no real socket has on either system (INVALID_SOCKET / -1).
const net_socket_t NET_NO_SOCKET = (net_socket_t)-1;

enum { NET_IPV4 = 4, NET_IPV6 = 6 };

struct NetAddress {
    int32_t family;           // NET_IPV4 or NET_IPV6; 0 for no address
    unsigned char bytes[16];  // network order; an IPv4 address fills the first 4
    uint32_t scope;           // an IPv6 link-local address's interface, else 0
};

// Large enough for any address's text, an IPv6 one with a scope included.
enum { NET_ADDRESS_TEXT_SIZE = 64 };
// How many addresses of one name are tried, at most.
enum { NET_MAX_ADDRESSES = 16 };

// The IPv4 address whose 4 bytes in network order `network_order` carries.
NetAddress net_address_ipv4(uint32_t network_order);
bool net_address_equal(const NetAddress &a, const NetAddress &b);
// An IPv4 address's text in dotted decimal, an IPv6 one's in the short form of RFC 5952
// (::1, 2001:db8::5); "" for no address. out holds NET_ADDRESS_TEXT_SIZE bytes.
char *net_format_address(const NetAddress &address, char *out, size_t size);
// A dotted IPv4 address (read as net_parse_ipv4 reads it) or an IPv6 address in any of
// RFC 4291's text forms, without brackets; 0, or -1 for text that is neither.
int net_parse_address(const char *text, NetAddress *address);

enum NetErrorKind {
    NET_ERROR_OTHER = 0,
    NET_ERROR_WOULD_BLOCK = 1,      // WSAEWOULDBLOCK / EAGAIN: try again shortly
    NET_ERROR_NOT_INITIALISED = 2,  // WSANOTINITIALISED: never seen on Linux
};

// WSAStartup for version 2.2 on Windows (result ignored); nothing on Linux. Safe to call
// any number of times.
void net_startup(void);

// Classifies the error of the last failed call on this thread.
int net_last_error_kind(void);
// Notes (failure_note) why the last failed call on this thread failed: a refused connect,
// or a network that gave up or lost the connection, with the system's own words for it.
void net_note_failure(Failure *failure);

// A stream socket of the family (NET_IPV4, NET_IPV6) in blocking mode, or NET_NO_SOCKET.
net_socket_t net_socket_tcp(int family = NET_IPV4);
void net_close(net_socket_t socket);

int net_bind(net_socket_t socket, const NetAddress &address, uint16_t port);
// Lets a listening socket bind a port whose earlier connections still linger in TIME_WAIT
// (SO_REUSEADDR on Linux, where two listeners still cannot share a port). Nothing on
// Windows, whose SO_REUSEADDR would let another program take the port over, and whose
// bind is not held up by TIME_WAIT.
int net_set_reuse_address(net_socket_t socket);
int net_listen(net_socket_t socket, int backlog);
// Blocks until a peer connects (unless the socket is non-blocking); NET_NO_SOCKET on failure.
net_socket_t net_accept(net_socket_t socket);
int net_connect(net_socket_t socket, const NetAddress &address, uint16_t port);
// A connect that never blocks, on a socket made non-blocking first: 0 connected at once,
// 1 under way (wait with net_wait_woken for NET_CONNECT), -1 failed.
int net_connect_start(net_socket_t socket, const NetAddress &address, uint16_t port);
// 0 when the connect that ended made a connection, -1 when it was refused or failed (the
// connect's own error is then this thread's last one, for net_note_failure).
int net_connect_result(net_socket_t socket);

// One send or recv: the count moved, 0 from recv when the peer closed, -1 on failure.
// A send to a closed peer fails; it never raises a signal.
int net_send(net_socket_t socket, const void *bytes, int length);
int net_recv(net_socket_t socket, void *buffer, int size);

int net_set_nonblocking(net_socket_t socket, int on);

// The address and port of this end (peer 0) or the far end of a socket; 0 or -1.
int net_socket_name(net_socket_t socket, int peer, NetAddress *address, uint16_t *port);
inline int net_local_name(net_socket_t socket, NetAddress *address, uint16_t *port)
{
    return net_socket_name(socket, 0, address, port);
}
inline int net_peer_name(net_socket_t socket, NetAddress *address, uint16_t *port)
{
    return net_socket_name(socket, 1, address, port);
}


// Reads a dotted address the way inet_addr does; -1 for text that is not one. As with
// inet_addr, "255.255.255.255" is indistinguishable from a failure and gives -1.
int net_parse_ipv4(const char *text, uint32_t *address);

// Every address of a name, of either family, in the order the resolver gives them (its
// idea of which to try first), at most `capacity` of them: their count, or -1 when the
// name has none. Asks the resolver installed with net_set_resolver, else the system's.
int net_resolve_name(const char *name, NetAddress *addresses, int capacity);
// The system's own lookup (getaddrinfo), which net_resolve_name asks when no resolver is
// installed.
int net_system_resolve(const char *name, NetAddress *addresses, int capacity);

// Replaces the system's name resolution (tests must never send a DNS query); null puts
// the system's back. The function answers as net_resolve_name does.
typedef int (*NetResolver)(const char *name, NetAddress *addresses, int capacity);
void net_set_resolver(NetResolver resolver);

// The official name of an address (getnameinfo); -1 when it has none or the name does
// not fit.
int net_reverse_lookup(const NetAddress &address, char *name, int size);

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
