#include "util/url.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

struct Parsed {
    char scheme[URL_TEXT_SIZE];
    char user[URL_TEXT_SIZE];
    char password[URL_TEXT_SIZE];
    char host[URL_TEXT_SIZE];
    int port;
    char path[URL_TEXT_SIZE];
};

int parse(const std::string &url, Parsed &p)
{
    return parse_url(url.c_str(), p.scheme, p.user, p.password, p.host, &p.port, p.path);
}

}  // namespace

TEST(ParseUrl, SplitsComponentsAndFillsDefaults)
{
    struct Case {
        const char *url;
        const char *scheme, *user, *password, *host;
        int port;
        const char *path;
    } cases[] = {
        {"ftp://h", "ftp", "anonymous", "", "h", 21, "/"},
        {"FTP://HostA/Dir/", "ftp", "anonymous", "", "hosta", 21, "/Dir/"},
        {"http://h/x", "http", "", "", "h", 80, "/x"},
        {"ftp://u:p:w@h:120/a/b", "ftp", "u", "p:w", "h", 120, "/a/b"},
        {"ftp://a@b:pw@h/", "ftp", "a@b", "pw", "h", 21, "/"},
        {"ftp://:secret@h/", "ftp", "anonymous", "secret", "h", 21, "/"},
        {"ftp://h:abc/", "ftp", "anonymous", "", "h", 21, "/"},
        {"ftp://h:0/", "ftp", "anonymous", "", "h", 21, "/"},
        {"ftp://h:-5/", "ftp", "anonymous", "", "h", -5, "/"},
        {"http://h:0", "http", "", "", "h", 80, "/"},
        // A '/' in the password ends the authority: "u:p" reads as host u, port "p".
        {"ftp://u:p/x@h/d", "ftp", "anonymous", "", "u", 21, "/x@h/d"},
        {"ftp://h/a@b", "ftp", "anonymous", "", "h", 21, "/a@b"},
        {"ftp://", "ftp", "anonymous", "", "", 21, "/"},
        {"ftp://h/%41", "ftp", "anonymous", "", "h", 21, "/%41"},
        // The port reads like atoi, and saturates instead of overflowing.
        {"ftp://h: +42x/", "ftp", "anonymous", "", "h", 42, "/"},
        {"ftp://h:99999999999/", "ftp", "anonymous", "", "h", INT_MAX, "/"},
        {"ftp://h:-2147483648/", "ftp", "anonymous", "", "h", INT_MIN, "/"},
        {"ftp://h:-99999999999/", "ftp", "anonymous", "", "h", INT_MIN, "/"},
        // FTP with TLS: explicit on the plain port, implicit on 990 unless told otherwise.
        {"ftpes://h/d/", "ftpes", "anonymous", "", "h", 21, "/d/"},
        {"FTPS://u:p@H/", "ftps", "u", "p", "h", 990, "/"},
        {"ftps://h:2990", "ftps", "anonymous", "", "h", 2990, "/"},
        {"ftpes://h:0/", "ftpes", "anonymous", "", "h", 21, "/"},
        // An IPv6 address in brackets: the host is the address without them.
        {"ftp://[::1]:2121/pub/", "ftp", "anonymous", "", "::1", 2121, "/pub/"},
        {"ftp://u:p@[::1]/", "ftp", "u", "p", "::1", 21, "/"},
        {"ftp://u:p:q@[FE80::A:B]", "ftp", "u", "p:q", "fe80::a:b", 21, "/"},
        {"ftps://[::ffff:127.0.0.1]:2990/x", "ftps", "anonymous", "", "::ffff:127.0.0.1", 2990, "/x"},
        {"ftp://u:[::1]@h/", "ftp", "u", "[::1]", "h", 21, "/"},
    };
    for (const Case &c : cases) {
        Parsed p;
        ASSERT_EQ(0, parse(c.url, p)) << c.url;
        EXPECT_STREQ(c.scheme, p.scheme) << c.url;
        EXPECT_STREQ(c.user, p.user) << c.url;
        EXPECT_STREQ(c.password, p.password) << c.url;
        EXPECT_STREQ(c.host, p.host) << c.url;
        EXPECT_EQ(c.port, p.port) << c.url;
        EXPECT_STREQ(c.path, p.path) << c.url;
        EXPECT_EQ(1, is_valid_url(c.url)) << c.url;
    }
}

TEST(ParseUrl, RefusesNonUrls)
{
    const char *bad[] = {"ftp:/h/", "ftp:h", "gopher://h/", "h:21/x", "ftp//h", "", "sftp://h/", "ftpse://h/", "ftpes:/h/",
                         // Brackets that hold no IPv6 address, or stand where no host has one.
                         "ftp://[::1/", "ftp://[::1:21/", "ftp://::1]:21/", "ftp://[::1]x/", "ftp://[::1]21/",
                         "ftp://[]/", "ftp://[localhost]/", "ftp://[127.0.0.1]/", "ftp://[::1]]/", "ftp://h[::1]/",
                         "ftp://u@[::1%eth0]/", "ftp://[[::1]]/"};
    for (const char *url : bad) {
        Parsed p;
        EXPECT_EQ(-1, parse(url, p)) << url;
        EXPECT_EQ(0, is_valid_url(url)) << url;
    }
}

TEST(ParseUrl, RefusesOverlongPiecesInsteadOfCutting)
{
    const std::string s999(999, 's'), s1000(1000, 's');
    struct Case {
        std::string url;
        int result;
    } cases[] = {
        {"ftp://h/" + s999.substr(1), 0},           // path of 999 with its '/'
        {"ftp://h/" + s999, -1},                    // path of 1000
        {"ftp://" + s999, 0},                       // host and authority of 999
        {"ftp://" + s1000 + "/", -1},               // authority of 1000
        {"ftp://u:" + s999.substr(4) + "@h/", 0},   // authority of 999 with a password
        {"ftp://u:" + s999.substr(3) + "@h/", -1},  // the same, one longer
        {"ftp://" + s999.substr(1) + "@/", 0},      // user of 998, empty host
        {std::string(1000, 'f') + "://h/", -1},     // scheme of 1000
    };
    for (const Case &c : cases) {
        Parsed p;
        EXPECT_EQ(c.result, parse(c.url, p)) << c.url.size();
    }
    Parsed p;
    ASSERT_EQ(0, parse("ftp://h/" + s999.substr(1), p));
    EXPECT_EQ(999u, strlen(p.path));
}

TEST(ComposeUrl, WritesFullFormOrFailsWithinSize)
{
    char out[64];
    ASSERT_EQ(0, compose_url(out, sizeof out, "ftp", "anonymous", "", "h", 21, "/"));
    EXPECT_STREQ("ftp://anonymous:@h:21/", out);
    ASSERT_EQ(0, compose_url(out, sizeof out, "ftp", "u", "p:w", "127.0.0.1", -5, "/a b/"));
    EXPECT_STREQ("ftp://u:p:w@127.0.0.1:-5/a b/", out);
    ASSERT_EQ(0, compose_url(out, sizeof out, "ftp", "u", "p", "::1", 2121, "/d/"));
    EXPECT_STREQ("ftp://u:p@[::1]:2121/d/", out);

    // "ftp://u:p@h:21/" is 15 characters: 16 bytes fit, 15 do not.
    for (size_t size : {16, 15, 1, 0}) {
        memset(out, 'X', sizeof out);
        int expected = size == 16 ? 0 : -1;
        EXPECT_EQ(expected, compose_url(out, size, "ftp", "u", "p", "h", 21, "/")) << size;
        if (size > 0) {
            EXPECT_STREQ(expected == 0 ? "ftp://u:p@h:21/" : "", out) << size;
        }
        EXPECT_EQ('X', out[size]) << "byte past the buffer written, size " << size;
    }
}

TEST(ComposeDisplayUrl, HidesPasswordAndShowsDefaults)
{
    struct Case {
        const char *url;
        const char *shown;
    } cases[] = {
        {"ftp://u:secret@h/d", "ftp://u@h:21/d"},
        {"ftp://H", "ftp://anonymous@h:21/"},
        {"http://h:8080/x", "http://@h:8080/x"},
        {"ftpes://u:secret@h/d", "ftpes://u@h:21/d"},
        {"ftps://u:secret@h/d", "ftps://u@h:990/d"},
        {"ftp://u:secret@[::1]:2121/d", "ftp://u@[::1]:2121/d"},
        {"ftp://[0:0::1]", "ftp://anonymous@[0:0::1]:21/"},
        {"no colon here", "no colon here"},
        {"gopher://h/", "gopher://h/"},
        // Text that does not parse still loses its password.
        {"sftp://u:secret@h/d", "sftp://u@h/d"},
        {"ftp:u:secret@h", "ftp:u@h"},
        {"ftp:/u:se:cr@t@h/p:q@r", "ftp:/u@h/p:q@r"},
    };
    for (const Case &c : cases) {
        char out[URL_TEXT_SIZE];
        EXPECT_EQ(0, compose_display_url(out, sizeof out, c.url)) << c.url;
        EXPECT_STREQ(c.shown, out) << c.url;
    }
}

TEST(ComposeDisplayUrl, StaysWithinSize)
{
    struct Case {
        const char *url;
        size_t size;
        int result;
        const char *kept;
    } cases[] = {
        {"ftp://u:pw@h/d", 15, 0, "ftp://u@h:21/d"},
        {"ftp://u:pw@h/d", 14, -1, "ftp://u@h:21/"},
        {"not a url", 10, 0, "not a url"},
        {"not a url", 9, -1, "not a ur"},
    };
    for (const Case &c : cases) {
        char out[32];
        memset(out, 'X', sizeof out);
        EXPECT_EQ(c.result, compose_display_url(out, c.size, c.url)) << c.url << c.size;
        EXPECT_STREQ(c.kept, out) << c.url << c.size;
        EXPECT_EQ('X', out[c.size]) << "byte past the buffer written, size " << c.size;
    }
}

TEST(LowercaseInPlace, ChangesOnlyAsciiCapitals)
{
    char text[] = "AbZ@[`{09\xC4\xE4";
    EXPECT_EQ(text, lowercase_in_place(text));
    EXPECT_STREQ("abz@[`{09\xC4\xE4", text);
}
