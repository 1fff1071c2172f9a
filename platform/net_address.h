// The system's socket addresses and our NetAddress, for net_posix.cpp and net_win32.cpp
// only: each includes its own system's socket headers before this one.
#pragma once

#include <cstdint>
#include <cstring>

// Fills `out` for the address and port: the length of the system's address, or 0 for an
// address of no family the system knows.
inline int net_make_address(const NetAddress &address, uint16_t port, sockaddr_storage *out)
{
    memset(out, 0, sizeof *out);
    if (address.family == NET_IPV4) {
        sockaddr_in *a = (sockaddr_in *)out;
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        memcpy(&a->sin_addr, address.bytes, 4);
        return (int)sizeof *a;
    }
    if (address.family == NET_IPV6) {
        sockaddr_in6 *a = (sockaddr_in6 *)out;
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        memcpy(&a->sin6_addr, address.bytes, 16);
        a->sin6_scope_id = address.scope;
        return (int)sizeof *a;
    }
    return 0;
}

// 0 with *address (and *port, when not null) set, or -1 for a family we do not handle.
inline int net_take_address(const sockaddr *from, size_t length, NetAddress *address, uint16_t *port)
{
    memset(address, 0, sizeof *address);
    if (from->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const sockaddr_in *a = (const sockaddr_in *)from;
        address->family = NET_IPV4;
        memcpy(address->bytes, &a->sin_addr, 4);
        if (port != nullptr)
            *port = ntohs(a->sin_port);
        return 0;
    }
    if (from->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const sockaddr_in6 *a = (const sockaddr_in6 *)from;
        address->family = NET_IPV6;
        memcpy(address->bytes, &a->sin6_addr, 16);
        address->scope = a->sin6_scope_id;
        if (port != nullptr)
            *port = ntohs(a->sin6_port);
        return 0;
    }
    return -1;
}

// Copies what getaddrinfo found, in its order, into at most capacity addresses: the count,
// or -1 when none was of a family we handle.
inline int net_take_found(const addrinfo *found, NetAddress *addresses, int capacity)
{
    int count = 0;
    for (const addrinfo *a = found; a != nullptr && count < capacity; a = a->ai_next) {
        if (a->ai_addr == nullptr || net_take_address(a->ai_addr, (size_t)a->ai_addrlen, &addresses[count], nullptr) != 0)
            continue;
        // The resolver may list one address once per socket type: each is tried once.
        bool seen = false;
        for (int i = 0; i < count && !seen; i++)
            seen = net_address_equal(addresses[i], addresses[count]);
        if (!seen)
            count++;
    }
    return count > 0 ? count : -1;
}
