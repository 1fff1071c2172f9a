// Which certificate field a host is matched against. Only the forms people write as
// addresses count as one: a.b.c.d in plain decimal and an IPv6 address in brackets.
// Everything else (127.1, 2130706433, 0x7f.0.0.1, 0177.0.0.1) is a name: the C library
// reads those as addresses, but a certificate never lists them, and matching them as an
// address would let an odd spelling of a host stand in for the host the user named.
#include "platform/tls.h"

#include <cstring>

#include "util/text.h"

// Plain decimal 0..255 without a leading zero: the dotted form's one spelling.
static int ipv4_canonical(const char *text, size_t length, unsigned char *bytes)
{
    int part = 0;
    size_t at = 0;
    while (part < 4) {
        size_t digits = 0;
        int value = 0;
        while (at + digits < length && text[at + digits] >= '0' && text[at + digits] <= '9' && digits < 4) {
            value = value * 10 + (text[at + digits] - '0');
            digits++;
        }
        if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text[at] == '0'))
            return 0;
        bytes[part++] = (unsigned char)value;
        at += digits;
        if (part < 4) {
            if (at >= length || text[at] != '.')
                return 0;
            at++;
        }
    }
    return at == length ? 4 : 0;
}

// RFC 4291 text: groups of up to four hex digits, one "::" at most, an IPv4 tail allowed.
static int ipv6_parse(const char *text, size_t length, unsigned char *bytes)
{
    unsigned char out[16];
    int filled = 0, gap = -1;
    size_t at = 0;
    if (length >= 2 && text[0] == ':' && text[1] == ':') {
        gap = 0;
        at = 2;
    } else if (length >= 1 && text[0] == ':') {
        return 0;
    }
    while (at < length) {
        // An IPv4 tail fills the last four bytes.
        const char *dot = (const char *)memchr(text + at, '.', length - at);
        const char *colon = (const char *)memchr(text + at, ':', length - at);
        if (dot && !colon) {
            if (filled > 12 || ipv4_canonical(text + at, length - at, out + filled) != 4)
                return 0;
            filled += 4;
            at = length;
            break;
        }
        int value = 0, digits = 0;
        while (at < length && digits < 5 && text_hex_value(text[at]) >= 0) {
            value = value * 16 + text_hex_value(text[at]);
            digits++;
            at++;
        }
        if (digits == 0 || digits > 4 || filled > 14)
            return 0;
        out[filled++] = (unsigned char)(value >> 8);
        out[filled++] = (unsigned char)value;
        if (at == length)
            break;
        if (text[at] != ':')
            return 0;
        at++;
        if (at < length && text[at] == ':') {
            if (gap >= 0)
                return 0;
            gap = filled;
            at++;
        } else if (at == length) {
            return 0;  // a lone trailing colon
        }
    }
    if (gap < 0 && filled != 16)
        return 0;
    if (gap >= 0 && filled > 14)
        return 0;
    memset(bytes, 0, 16);
    if (gap < 0) {
        memcpy(bytes, out, 16);
    } else {
        memcpy(bytes, out, (size_t)gap);
        memcpy(bytes + 16 - (filled - gap), out + gap, (size_t)(filled - gap));
    }
    return 16;
}

int tls_host_address(const char *host, unsigned char *bytes)
{
    if (host == nullptr || host[0] == '\0')
        return 0;
    size_t length = strlen(host);
    if (host[0] == '[') {
        if (length < 3 || host[length - 1] != ']')
            return 0;
        return ipv6_parse(host + 1, length - 2, bytes);
    }
    // The URL's brackets may already be gone: a name never holds a colon.
    if (strchr(host, ':') != nullptr)
        return ipv6_parse(host, length, bytes);
    return ipv4_canonical(host, length, bytes);
}
