// What is the same on every system: the resolver seam of platform/net.h (a test's
// resolver, when one is installed, answers instead of the system's) and the text forms of
// addresses, written here once so that both systems read and write them alike.
#include "platform/net.h"

#include <atomic>
#include <cstdio>
#include <cstring>

static std::atomic<NetResolver> installed_resolver{nullptr};

int net_resolve_name(const char *name, NetAddress *addresses, int capacity)
{
    if (capacity < 1)
        return -1;
    NetResolver resolver = installed_resolver.load();
    int count = resolver != nullptr ? resolver(name, addresses, capacity) : net_system_resolve(name, addresses, capacity);
    if (count < 1)
        return -1;
    return count < capacity ? count : capacity;
}

void net_set_resolver(NetResolver resolver)
{
    installed_resolver.store(resolver);
}

NetAddress net_address_ipv4(uint32_t network_order)
{
    NetAddress a;
    memset(&a, 0, sizeof a);
    a.family = NET_IPV4;
    memcpy(a.bytes, &network_order, 4);
    return a;
}

bool net_address_equal(const NetAddress &a, const NetAddress &b)
{
    if (a.family != b.family)
        return false;
    if (a.family == NET_IPV4)
        return memcmp(a.bytes, b.bytes, 4) == 0;
    return memcmp(a.bytes, b.bytes, 16) == 0 && a.scope == b.scope;
}

char *net_format_address(const NetAddress &address, char *out, size_t size)
{
    if (size == 0)
        return out;
    out[0] = '\0';
    const unsigned char *b = address.bytes;
    if (address.family == NET_IPV4) {
        snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
        return out;
    }
    if (address.family != NET_IPV6)
        return out;
    unsigned groups[8];
    for (int i = 0; i < 8; i++)
        groups[i] = (unsigned)(b[2 * i] << 8 | b[2 * i + 1]);
    // RFC 5952: the longest run of two or more zero groups (the first of equal runs)
    // becomes "::"; hex digits in lower case without leading zeros.
    int best = -1, best_length = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && groups[j] == 0)
            j++;
        if (j - i > best_length) {
            best = i;
            best_length = j - i;
        }
        i = j > i ? j : i + 1;
    }
    char text[NET_ADDRESS_TEXT_SIZE];
    size_t used = 0;
    for (int i = 0; i < 8; i++) {
        if (i == best) {
            used += (size_t)snprintf(text + used, sizeof text - used, "::");
            i += best_length - 1;
            continue;
        }
        bool after_gap = best >= 0 && i == best + best_length;
        used += (size_t)snprintf(text + used, sizeof text - used, "%s%x", i == 0 || after_gap ? "" : ":", groups[i]);
    }
    if (address.scope != 0)
        snprintf(text + used, sizeof text - used, "%%%u", (unsigned)address.scope);
    snprintf(out, size, "%s", text);
    return out;
}

// One to four hex digits of an IPv6 group; the count of characters read, 0 for none.
static int read_group(const char *p, unsigned *value)
{
    int n = 0;
    *value = 0;
    for (; n < 4; n++) {
        char c = p[n];
        int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (digit < 0)
            break;
        *value = *value << 4 | (unsigned)digit;
    }
    return n;
}

// An IPv6 address in RFC 4291's text forms: eight groups, one "::" for a run of zero
// groups, and an IPv4 address in the last 32 bits.
static int parse_ipv6(const char *text, unsigned char out[16])
{
    unsigned char bytes[16];
    int count = 0;    // bytes filled
    int gap = -1;     // where "::" stood, in bytes
    const char *p = text;
    if (p[0] == ':') {
        if (p[1] != ':')
            return -1;
        gap = 0;
        p += 2;
    }
    while (*p != '\0') {
        if (count >= 16)
            return -1;
        // The last 32 bits as a dotted IPv4 address.
        const char *end = p;
        while (*end != '\0' && *end != ':')
            end++;
        if (*end == '\0' && memchr(p, '.', (size_t)(end - p)) != nullptr) {
            unsigned parts[4];
            char tail;
            if (count > 12 || sscanf(p, "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &tail) != 4)
                return -1;
            for (int i = 0; i < 4; i++) {
                if (parts[i] > 255)
                    return -1;
                bytes[count++] = (unsigned char)parts[i];
            }
            // Only digits and dots: sscanf would take a sign or blanks.
            for (const char *q = p; *q; q++)
                if (!(*q == '.' || (*q >= '0' && *q <= '9')))
                    return -1;
            break;
        }
        unsigned value;
        int n = read_group(p, &value);
        if (n == 0 || count > 14)
            return -1;
        bytes[count++] = (unsigned char)(value >> 8);
        bytes[count++] = (unsigned char)(value & 0xff);
        p += n;
        if (*p == '\0')
            break;
        if (*p != ':')
            return -1;
        p++;
        if (*p == ':') {
            if (gap >= 0)
                return -1;
            gap = count;
            p++;
        } else if (*p == '\0') {
            return -1;  // a lone ':' at the end
        }
    }
    if (gap < 0) {
        if (count != 16)
            return -1;
        memcpy(out, bytes, 16);
        return 0;
    }
    if (count > 14)
        return -1;
    memset(out, 0, 16);
    memcpy(out, bytes, (size_t)gap);
    memcpy(out + 16 - (count - gap), bytes + gap, (size_t)(count - gap));
    return 0;
}

int net_parse_address(const char *text, NetAddress *address)
{
    if (text == nullptr || address == nullptr || text[0] == '\0')
        return -1;
    NetAddress a;
    memset(&a, 0, sizeof a);
    if (strchr(text, ':') != nullptr) {
        if (parse_ipv6(text, a.bytes) != 0)
            return -1;
        a.family = NET_IPV6;
        *address = a;
        return 0;
    }
    uint32_t v4;
    if (net_parse_ipv4(text, &v4) != 0)
        return -1;
    *address = net_address_ipv4(v4);
    return 0;
}
