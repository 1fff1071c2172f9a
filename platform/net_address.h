// The system's IPv4 socket address and our (address, port) pair, for net_posix.cpp and
// net_win32.cpp only: each includes its own system's socket headers before this one.
#pragma once

#include <cstdint>
#include <cstring>

inline sockaddr_in net_make_address(uint32_t address, uint16_t port)
{
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

// 0 with *address and *port set, or -1 when the address is not IPv4.
inline int net_take_address(const sockaddr_in &a, uint32_t *address, uint16_t *port)
{
    if (a.sin_family != AF_INET)
        return -1;
    *address = a.sin_addr.s_addr;
    *port = ntohs(a.sin_port);
    return 0;
}
