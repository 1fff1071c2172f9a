#include "util/url.h"

#include "util/text.h"

#include <cstring>

char *lowercase_in_place(char *text)
{
    for (char *p = text; *p != '\0'; p++) {
        if (*p >= 'A' && *p <= 'Z')
            *p = (char)(*p - 'A' + 'a');
    }
    return text;
}

int split_user_password(const char *userinfo, char *user, char *password)
{
    const char *colon = strchr(userinfo, ':');
    if (colon == nullptr) {
        password[0] = '\0';
        return text_copy(user, URL_TEXT_SIZE, userinfo);
    }
    if (text_copy_n(user, URL_TEXT_SIZE, userinfo, (size_t)(colon - userinfo)) != 0)
        return -1;
    return text_copy(password, URL_TEXT_SIZE, colon + 1);
}

// An IPv6 address in brackets ("[::1]", RFC 3986): the host is the text inside them, and
// only a port may follow. Anything between the brackets but hex digits, ':' and '.' (the
// dotted tail of some addresses), no ':' at all, or text after them other than a port
// fails: a host read from a half-written address would be another host.
static int split_bracketed(const char *hostport, char *host, int *port)
{
    const char *close = strchr(hostport, ']');
    if (close == nullptr)
        return -1;
    const char *inside = hostport + 1;
    size_t length = (size_t)(close - inside);
    if (length == 0 || memchr(inside, ':', length) == nullptr)
        return -1;
    for (size_t i = 0; i < length; i++) {
        char c = inside[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.')
            return -1;
    }
    if (close[1] != '\0' && close[1] != ':')
        return -1;
    if (text_copy_n(host, URL_TEXT_SIZE, inside, length) != 0)
        return -1;
    *port = close[1] == ':' ? text_to_int(close + 2) : 0;
    lowercase_in_place(host);
    return 0;
}

int split_host_port(const char *hostport, char *host, int *port)
{
    if (hostport[0] == '[')
        return split_bracketed(hostport, host, port);
    // A bracket anywhere else is no host name's and no address's.
    if (strpbrk(hostport, "[]") != nullptr)
        return -1;
    const char *colon = strchr(hostport, ':');
    int result;
    if (colon == nullptr) {
        result = text_copy(host, URL_TEXT_SIZE, hostport);
        *port = 0;
    } else {
        result = text_copy_n(host, URL_TEXT_SIZE, hostport, (size_t)(colon - hostport));
        *port = text_to_int(colon + 1);
    }
    lowercase_in_place(host);
    return result;
}

int split_authority(const char *authority, char *user, char *password, char *host,
                    int *port)
{
    // The rightmost '@' separates, so user names and passwords may contain '@'.
    const char *at = strrchr(authority, '@');
    char userinfo[URL_TEXT_SIZE] = {0};
    const char *hostport = authority;
    if (at != nullptr) {
        if (text_copy_n(userinfo, sizeof userinfo, authority, (size_t)(at - authority)) != 0)
            return -1;
        hostport = at + 1;
    }
    if (split_user_password(userinfo, user, password) != 0)
        return -1;
    return split_host_port(hostport, host, port);
}

int parse_url(const char *url, char *scheme, char *user, char *password, char *host,
              int *port, char *path)
{
    if (url == nullptr)
        return -1;
    const char *colon = strchr(url, ':');
    if (colon == nullptr)
        return -1;
    if (text_copy_n(scheme, URL_TEXT_SIZE, url, (size_t)(colon - url)) != 0)
        return -1;
    lowercase_in_place(scheme);
    // ftpes (TLS asked for after the greeting) and ftps (TLS from the connect) are FTP.
    bool implicit_tls = strcmp(scheme, "ftps") == 0;
    bool ftp = strcmp(scheme, "ftp") == 0 || strcmp(scheme, "ftpes") == 0 || implicit_tls;
    bool http = strcmp(scheme, "http") == 0;
    if (!ftp && !http)
        return -1;
    if (colon[1] != '/' || colon[2] != '/')
        return -1;

    // The authority ends at the first '/', before any '@' or ':' is looked at, so a
    // '/' inside a password already starts the path.
    const char *start = colon + 3;
    const char *slash = strchr(start, '/');
    char authority[URL_TEXT_SIZE];
    if (slash == nullptr) {
        if (text_copy(authority, sizeof authority, start) != 0)
            return -1;
        if (text_copy(path, URL_TEXT_SIZE, "/") != 0)
            return -1;
    } else {
        if (text_copy_n(authority, sizeof authority, start, (size_t)(slash - start)) != 0)
            return -1;
        if (text_copy(path, URL_TEXT_SIZE, slash) != 0)
            return -1;
    }
    if (split_authority(authority, user, password, host, port) != 0)
        return -1;

    if (*port == 0 && ftp)
        *port = implicit_tls ? 990 : 21;
    if (user[0] == '\0' && ftp && text_copy(user, URL_TEXT_SIZE, "anonymous") != 0)
        return -1;
    if (*port == 0 && http)
        *port = 80;
    return 0;
}

// An IPv6 address goes back into its brackets, or its ':' would read as the port's.
static const char *host_open(const char *host)
{
    return strchr(host, ':') != nullptr ? "[" : "";
}

static const char *host_close(const char *host)
{
    return strchr(host, ':') != nullptr ? "]" : "";
}

int compose_url(char *out, size_t size, const char *scheme, const char *user,
                const char *password, const char *host, int port, const char *path)
{
    if (text_format(out, size, "%s://%s:%s@%s%s%s:%d%s", scheme, user, password, host_open(host), host,
                    host_close(host), port, path) == 0)
        return 0;
    if (size > 0)
        out[0] = '\0';
    return -1;
}

// Appends n bytes of src to the text of *used bytes in out; -1 when they did not all fit
// (what fit is kept, terminated).
static int append_bytes(char *out, size_t size, size_t *used, const char *src, size_t n)
{
    int result = 0;
    if (n > size - 1 - *used) {
        n = size - 1 - *used;
        result = -1;
    }
    memcpy(out + *used, src, n);
    *used += n;
    out[*used] = '\0';
    return result;
}

int hide_url_passwords(char *out, size_t size, const char *text)
{
    if (size == 0)
        return -1;
    out[0] = '\0';
    if (text == nullptr)
        return -1;
    size_t used = 0;
    int result = 0;
    const char *p = text;
    while (*p != '\0') {
        size_t word = strcspn(p, " \t\r\n\v\f");
        const char *end = p + word;
        // The user information lies between the scheme (and the slashes after it) and
        // the last '@' before the path; its first ':' starts the password.
        const char *colon = (const char *)memchr(p, ':', word);
        const char *start = colon != nullptr ? colon + 1 : end;
        while (start < end && *start == '/')
            start++;
        const char *authority_end = start;
        while (authority_end < end && *authority_end != '/')
            authority_end++;
        const char *at = nullptr;
        for (const char *q = start; q < authority_end; q++)
            if (*q == '@')
                at = q;
        const char *secret = nullptr;
        for (const char *q = start; at != nullptr && q < at && secret == nullptr; q++)
            if (*q == ':')
                secret = q;
        if (secret != nullptr) {
            result |= append_bytes(out, size, &used, p, (size_t)(secret - p));
            result |= append_bytes(out, size, &used, at, (size_t)(end - at));
        } else {
            result |= append_bytes(out, size, &used, p, word);
        }
        size_t blanks = strspn(end, " \t\r\n\v\f");
        result |= append_bytes(out, size, &used, end, blanks);
        p = end + blanks;
    }
    return result;
}

// The parts of a URL that parse_url fills, in one record.
struct UrlParts {
    char scheme[URL_TEXT_SIZE];
    char user[URL_TEXT_SIZE];
    char password[URL_TEXT_SIZE];
    char host[URL_TEXT_SIZE];
    char path[URL_TEXT_SIZE];
    int port;
};

static int parse_parts(const char *url, UrlParts *parts)
{
    parts->port = 0;
    return parse_url(url, parts->scheme, parts->user, parts->password, parts->host, &parts->port,
                     parts->path);
}

int compose_display_url(char *out, size_t size, const char *url)
{
    if (url == nullptr) {
        text_copy(out, size, "");
        return -1;
    }
    UrlParts parts;
    if (parse_parts(url, &parts) != 0)
        return hide_url_passwords(out, size, url);
    return text_format(out, size, "%s://%s@%s%s%s:%d%s", parts.scheme, parts.user, host_open(parts.host),
                       parts.host, host_close(parts.host), parts.port, parts.path);
}

int is_valid_url(const char *url)
{
    UrlParts parts;
    return parse_parts(url, &parts) == 0 ? 1 : 0;
}
