// Enumeration and entry information through the exports, against the scripted server:
// the LIST each wildcard sends, the EntryInfo record byte for byte, the queries' cuts
// and no-entry values, the directory-level answers and KestrelGetFileCount.
#include <gtest/gtest.h>
#ifdef _WIN32
// FILETIME is the system's record there; the header only names it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "api/handle.h"
#include "api/kestrel.h"
#include "config/settings.h"
#include "listing/enumeration.h"
#include "listing/parser.h"
#include "platform/time.h"
#include "session/session.h"
#include "util/datetime.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/store_env.h"

using Lines = std::vector<std::string>;

namespace {

const Lines kLogin = {"USER alice", "PASS secret", "SYST", "FEAT", "TYPE I", "PWD"};

// putenv keeps the text it is given, so every text stays alive to the end.
void put_env(const std::string &text)
{
    static std::deque<std::string> texts;
    texts.push_back(text);
    putenv(&texts.back()[0]);
}

struct tm local(int year, int month, int day, int hour, int minute, int second)
{
    struct tm fields;
    memset(&fields, 0, sizeof fields);
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return fields;
}

struct EntriesTest : ::testing::Test {
    FtpScriptServer server;
    KestrelHandle *handle = nullptr;
    FtpSession *session = nullptr;
    std::string old_tz;

    void SetUp() override
    {
        const char *tz = getenv("TZ");
        old_tz = tz ? tz : "";
        put_env("TZ=UTC0");
        platform_zone_offset();  // the runtime reads TZ again only when told to
        server.set_auto_answer(true);
        handle = handle_create();
        ASSERT_NE(nullptr, handle);
        session = handle->session;
    }
    void TearDown() override
    {
        handle_destroy(handle);
        server.stop();
        // An unset TZ is unset again: the Windows runtime unsets "TZ=", glibc a bare "TZ".
        put_env("TZ=" + old_tz);
        if (old_tz.empty())
            put_env("TZ");
        platform_zone_offset();
    }
    HARC connect(bool use_index = false)
    {
        EXPECT_TRUE(server.start());
        EXPECT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "alice", "secret"));
        session_set_data_mode(session, DATA_MODE_PASSIVE);
        session->use_index_file = use_index ? 1 : 0;
        return (HARC)handle;
    }
    Lines transcript()
    {
        Lines all = server.commands();
        return Lines(all.begin() + (long)std::min(all.size(), kLogin.size()), all.end());
    }
};

// The record as the caller's pattern plus exactly the bytes that must change.
struct Record {
    unsigned char bytes[sizeof(EntryInfo)];
    explicit Record(unsigned char fill) { memset(bytes, fill, sizeof bytes); }
    void put32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; i++)
            bytes[at + i] = (unsigned char)(v >> (8 * i));
    }
    void put16(size_t at, uint16_t v)
    {
        bytes[at] = (unsigned char)v;
        bytes[at + 1] = (unsigned char)(v >> 8);
    }
    void text(size_t at, const std::string &s) { memcpy(bytes + at, s.c_str(), s.size() + 1); }
};

std::string first_difference(const void *a, const void *b)
{
    const unsigned char *x = (const unsigned char *)a, *y = (const unsigned char *)b;
    for (size_t i = 0; i < sizeof(EntryInfo); i++)
        if (x[i] != y[i])
            return "offset " + std::to_string(i) + ": " + std::to_string(x[i]) + " != " + std::to_string(y[i]);
    return "";
}

}  // namespace

TEST_F(EntriesTest, WildcardNamePartDecidesTheListArgument)
{
    struct Case {
        const char *wildcard;
        const char *list;
    } cases[] = {
        {"*.*", "LIST"},           {"*", "LIST"},          {"dir/*.*", "LIST dir/"}, {"dir\\*", "LIST dir\\"},
        {"*.txt", "LIST *.txt"},   {"", "LIST"},           {nullptr, "LIST"},        {"a\\b/*", "LIST a\\b/"},
        {"a/b\\*", "LIST a/b\\*"}, {"dir/x*.*", "LIST dir/x*.*"},
    };
    server.set_listing("-rw-r--r-- 1 u g 5 Jan 02 2024 a.txt\r\n");
    HARC archive = connect();
    Lines expected;
    for (const Case &c : cases) {
        EXPECT_EQ(0, KestrelFindFirst(archive, c.wildcard, nullptr)) << (c.wildcard ? c.wildcard : "(null)");
        expected.push_back("PASV");
        expected.push_back(c.list);
    }
    EXPECT_EQ(expected, transcript());
}

TEST_F(EntriesTest, EntryInfoIsFilledByteForByteAndNothingElse)
{
    struct Case {
        const char *line;
        uint32_t size;
        uint16_t date, time;
        const char *file_name;
        const char *attribute;
    } cases[] = {
        {"12-31-00  12:15PM                 1234 notes.txt", 1234, 0x299F, 0x61E0, "notes.txt", "---R"},
        {"drwxr-xr-x   2 u g   512 Dec 31  1998 pub", 512, 0x259F, 0x0000, "pub/", "----"},
        {"-rwxr-xr-x   1 u g  1234 Jan 02  2024 run", 1234, 0x5822, 0x0000, "run", "----"},
        {"--w-------   1 u g     7 Jan 02  2024 hidden", 7, 0x5822, 0x0000, "hidden", "--H-"},
        {"----------   1 u g     8 Jan 02  2024 none", 8, 0x5822, 0x0000, "none", "--HR"},
        {"drwxr-xr-x   2 u g   512 Jan 02  2024 slash/", 512, 0x5822, 0x0000, "slash/", "----"},
        {"-rw-r--r--   1 u g 3000000000 Jan 02  2024 big", 0x7FFFFFFF, 0x5822, 0x0000, "big", "----"},
    };
    std::string listing;
    for (const Case &c : cases)
        listing += std::string(c.line) + "\r\n";
    server.set_listing(listing);
    HARC archive = connect();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.line);
        unsigned char fill = (unsigned char)(0xA0 + i);
        Record got(fill), want(fill);
        int result = i == 0 ? KestrelFindFirst(archive, "*.*", (EntryInfo *)got.bytes)
                            : KestrelFindNext(archive, (EntryInfo *)got.bytes);
        ASSERT_EQ(0, result);
        want.put32(0, c.size);
        want.put32(4, c.size);
        want.put32(8, 0);
        want.put32(12, 0);
        want.put32(16, 2);
        want.put16(20, 1000);
        want.put16(22, c.date);
        want.put16(24, c.time);
        want.text(26, c.file_name);
        want.text(542, c.attribute);
        want.text(550, "-ftp-");
        EXPECT_EQ(0, memcmp(want.bytes, got.bytes, sizeof(EntryInfo))) << first_difference(want.bytes, got.bytes);
    }
    Record untouched(0x77), end(0x77);
    EXPECT_EQ(-1, KestrelFindNext(archive, (EntryInfo *)end.bytes));
    EXPECT_EQ(0, memcmp(untouched.bytes, end.bytes, sizeof(EntryInfo)));
}

// Under a zone with daylight saving every time query shows the clock the line gave:
// the parser reads it through the zone as the queries write it out. (The seconds
// themselves are the parser table's: Wine's runtime drops a zone's summer rules once TZ
// has been unset in the process, as this fixture does, and then both sides go without.)
TEST_F(EntriesTest, TimesRoundTripThroughDaylightSaving)
{
    struct Case {
        const char *line;
        uint16_t date, time;
    } cases[] = {
        {"07-04-22  10:00AM                 1234 summer.txt", 0x54E4, 0x5000},
        {"01-04-22  10:00AM                    7 winter.txt", 0x5424, 0x5000},
        {"-rw-r--r--   1 u g     5 Jul  4  2022 unix.txt", 0x54E4, 0x0000},
        {"08-31-22  11:59PM       <DIR>          night", 0x551F, 0xBF60},
    };
    std::string listing;
    for (const Case &c : cases)
        listing += std::string(c.line) + "\r\n";
    server.set_listing(listing);
    put_env("TZ=EST5EDT");
    HARC archive = connect();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.line);
        EntryInfo info;
        ASSERT_EQ(0, i == 0 ? KestrelFindFirst(archive, "", &info) : KestrelFindNext(archive, &info));
        EXPECT_EQ(c.date, KestrelGetDate(archive));
        EXPECT_EQ(c.time, KestrelGetTime(archive));
        EXPECT_EQ(c.date, info.date);
        EXPECT_EQ(c.time, info.time);
        struct tm back;
        uint16_t date = 0, time = 0;
        ASSERT_EQ(0, platform_local_time(KestrelGetWriteTime(archive), &back));
        dos_stamp_from_fields(&back, &date, &time);
        EXPECT_EQ(c.date, date);
        EXPECT_EQ(c.time, time);
    }
}

// Listed times outside the 32-bit range: the FILETIME is exact, the 32-bit time the
// nearest it holds, the MS-DOS stamp the format's own first day before 1980 and the
// true day up to 2107.
TEST_F(EntriesTest, TimesBefore1970AndAfter2038)
{
    struct Case {
        const char *date;
        int write_time;
        unsigned long long filetime;
        uint16_t dos_date;
    } cases[] = {
        {"Jan  2  2024", 1704153600, 133486272000000000ULL, 0x5822},
        {"Dec 31  1969", -86400, 116443872000000000ULL, 0x0021},
        {"Dec 14  1901", -2147472000, 94970016000000000ULL, 0x0021},
        {"Jan  1  1900", INT32_MIN, 94354848000000000ULL, 0x0021},
        {"Jan  1  1601", INT32_MIN, 0ULL, 0x0021},
        {"Dec 31  1600", INT32_MIN, 0ULL, 0x0021},   // no FILETIME before 1601: its first
        {"Jan 20  2038", INT32_MAX, 137920320000000000ULL, 0x7434},
        {"Mar  1  2100", INT32_MAX, 157520160000000000ULL, 0xF061},
    };
    std::string listing;
    for (const Case &c : cases)
        listing += "-rw-r--r-- 1 u g 5 " + std::string(c.date) + " f\r\n";
    server.set_listing(listing);
    HARC archive = connect();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        const Case &c = cases[i];
        SCOPED_TRACE(c.date);
        ASSERT_EQ(0, i == 0 ? KestrelFindFirst(archive, "", nullptr) : KestrelFindNext(archive, nullptr));
        EXPECT_EQ(c.write_time, KestrelGetWriteTime(archive));
        FILETIME stamp = {7, 7};
        ASSERT_EQ(1, KestrelGetWriteTimeEx(archive, &stamp));
        EXPECT_EQ(c.filetime, ((unsigned long long)stamp.dwHighDateTime << 32) | stamp.dwLowDateTime);
        EXPECT_EQ(c.dos_date, KestrelGetDate(archive));
    }
}

TEST_F(EntriesTest, TextQueriesCutAsTheirBuffersSay)
{
    server.set_listing("lrwxrwxrwx 1 owner grp 11 Jan 02 2024 abcdefghijk -> usr/lib\r\n");
    HARC archive = connect();
    ASSERT_EQ(0, KestrelFindFirst(archive, "", nullptr));
    typedef int(KESTREL_API * TextQuery)(HARC, char *, int);
    struct Case {
        const char *label;
        TextQuery query;
        int size;
        int result;
        std::string bytes;  // what the first size bytes become; the rest stays 'Z'
    } cases[] = {
        {"name cut before the slash", KestrelGetFileName, 10, 0, std::string("abcdefgh/\0", 10)},
        {"name whole", KestrelGetFileName, 20, 0, std::string("abcdefghijk/\0", 13)},
        {"name of two bytes", KestrelGetFileName, 2, 0, std::string("/\0", 2)},
        {"name without room", KestrelGetFileName, 1, -1, ""},
        {"method cut", KestrelGetMethod, 4, 0, std::string("-ft\0", 4)},
        {"method whole", KestrelGetMethod, 8, 0, std::string("-ftp-\0", 6)},
        {"method without room", KestrelGetMethod, 0, -1, ""},
        {"user unterminated", KestrelGetUserName, 3, 0, "own"},
        {"user padded", KestrelGetUserName, 8, 0, std::string("owner\0\0\0", 8)},
        {"group exact", KestrelGetGroupName, 3, 0, "grp"},
        {"link padded", KestrelGetLinkName, 9, 0, std::string("usr/lib\0\0", 9)},
        {"link without room", KestrelGetLinkName, 0, -1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        std::string buffer(40, 'Z');
        EXPECT_EQ(c.result, c.query(archive, &buffer[0], c.size));
        std::string expected = c.bytes + std::string(40 - c.bytes.size(), 'Z');
        EXPECT_EQ(expected, buffer);
        EXPECT_EQ(-1, c.query(archive, nullptr, c.size));
    }
    EXPECT_EQ(0x41FF, KestrelGetFileMode(archive));
    EXPECT_EQ(0x10, KestrelGetAttribute(archive));
}

TEST_F(EntriesTest, SystemTypeCodes)
{
    struct Case {
        const char *reply;
        int code;
    } cases[] = {
        {"215 UNIX Type: L8", 2}, {"215 Windows_NT", 10}, {"215 MS-DOS", 0}, {"215 OS/2", 5},
        {"215 unix", 10},         {"215 UNIXWARE", 10},   {"502 No", 10},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.expect("SYST", {c.reply});
        ASSERT_TRUE(s.start());
        KestrelHandle *one = handle_create();
        ASSERT_EQ(0, session_connect(one->session, "127.0.0.1", s.port(), "alice", "secret"));
        EXPECT_EQ(c.code, KestrelGetArcOSType((HARC)one));
        EXPECT_EQ(c.code, KestrelGetOSType((HARC)one));
        handle_destroy(one);
    }
}

TEST_F(EntriesTest, QueriesWithoutACurrentEntryAnswerTheirNoEntryValues)
{
    server.set_listing("-rw-r--r-- 1 u g 5 Jan 02 2024 a.txt\r\n-rw-r--r-- 1 u g 6 Jan 02 2024 b.txt\r\n");
    HARC archive = connect();
    auto expect_no_entry = [&](const char *when) {
        SCOPED_TRACE(when);
        char buffer[8] = "keep";
        EXPECT_EQ(0xFFFF, KestrelGetDate(archive));
        EXPECT_EQ(0xFFFF, KestrelGetTime(archive));
        for (int value : {KestrelGetOriginalSize(archive), KestrelGetCompressedSize(archive), KestrelGetWriteTime(archive),
                          KestrelGetCreateTime(archive), KestrelGetAccessTime(archive), KestrelGetAttribute(archive),
                          KestrelGetFileMode(archive), KestrelGetFileName(archive, buffer, 8),
                          KestrelGetMethod(archive, buffer, 8), KestrelGetUserName(archive, buffer, 8),
                          KestrelGetGroupName(archive, buffer, 8), KestrelGetLinkName(archive, buffer, 8)})
            EXPECT_EQ(-1, value);
        EXPECT_STREQ("keep", buffer);
        long long size = 77;
        FILETIME stamp = {7, 7};
        EXPECT_EQ(0, KestrelGetOriginalSizeEx(archive, &size));
        EXPECT_EQ(0, KestrelGetCompressedSizeEx(archive, &size));
        EXPECT_EQ(0, KestrelGetWriteTimeEx(archive, &stamp));
        EXPECT_EQ(77, size);
        EXPECT_EQ(7u, stamp.dwLowDateTime);
        EXPECT_EQ(1000, KestrelGetRatio(archive));
        EXPECT_EQ(1000, KestrelGetArcRatio(archive));
        EXPECT_EQ(2, KestrelGetArcOSType(archive));
    };
    expect_no_entry("before any listing");
    ASSERT_EQ(0, KestrelFindFirst(archive, "", nullptr));
    EXPECT_EQ(5, KestrelGetOriginalSize(archive));
    // A step without a record still moves.
    ASSERT_EQ(0, KestrelFindNext(archive, nullptr));
    EXPECT_EQ(6, KestrelGetCompressedSize(archive));
    EXPECT_EQ(1704153600, KestrelGetWriteTime(archive));
    EXPECT_EQ(1704153600, KestrelGetAccessTime(archive));
    EXPECT_EQ(0x81A4, KestrelGetFileMode(archive));
    EXPECT_EQ(0, KestrelGetAttribute(archive));
    long long size = 0;
    EXPECT_EQ(1, KestrelGetOriginalSizeEx(archive, &size));
    EXPECT_EQ(6, size);
    EXPECT_EQ(0, KestrelGetOriginalSizeEx(archive, nullptr));
    // 2024-01-02 00:00 UTC is 133,486,272,000,000,000 intervals of 100 ns after 1601.
    FILETIME stamp = {0, 0};
    EXPECT_EQ(1, KestrelGetWriteTimeEx(archive, &stamp));
    EXPECT_EQ(133486272000000000ULL, ((unsigned long long)stamp.dwHighDateTime << 32) | stamp.dwLowDateTime);
    EXPECT_EQ(-1, KestrelFindNext(archive, nullptr));
    expect_no_entry("after the end");
    EXPECT_EQ(-1, KestrelFindNext(archive, nullptr));
    EXPECT_EQ(11, KestrelGetArcOriginalSize(archive));
}

// A listing reads all its lines in the zone in force when it began, and a change of TZ
// after it is seen again.
TEST_F(EntriesTest, ZoneOffsetIsHeldOnlyWhileAListingIsRead)
{
    server.set_listing("-rw-r--r-- 1 u g 5 Jan 02 2024 a.txt\r\n");
    HARC archive = connect();
    EXPECT_EQ(0, platform_zone_offset());
    platform_zone_offset_hold(1);
    put_env("TZ=EST5");
    EXPECT_EQ(0, platform_zone_offset());
    platform_zone_offset_hold(0);
    EXPECT_EQ(18000, platform_zone_offset());
    ASSERT_EQ(0, KestrelFindFirst(archive, "", nullptr));
    EXPECT_EQ(1704153600 + 18000, KestrelGetWriteTime(archive));
    put_env("TZ=UTC0");
    EXPECT_EQ(0, platform_zone_offset());
}

TEST_F(EntriesTest, EmptyDirectoryAndFailedListingBothGiveNoEntryButDifferLater)
{
    server.expect_pasv();
    server.expect("LIST", {"150 ok"}).send_data("total 0\r\n").final_reply({"226 ok"});
    server.expect_pasv();
    server.expect("LIST", {"550 Permission denied"});
    HARC archive = connect();
    EXPECT_EQ(-1, KestrelFindFirst(archive, "", nullptr));
    EXPECT_EQ(0, listing_failed(&handle->listing));
    EXPECT_EQ(-1, KestrelFindFirst(archive, "", nullptr));
    EXPECT_EQ(1, listing_failed(&handle->listing));
    EXPECT_EQ(0, KestrelGetArcOriginalSize(archive));
    EXPECT_EQ(0x0021, KestrelGetArcDate(archive));
    EXPECT_EQ(0x0000, KestrelGetArcTime(archive));
    std::string overlong(1000, 'w');
    EXPECT_EQ(-1, KestrelFindFirst(archive, overlong.c_str(), nullptr));
    EXPECT_EQ(1, listing_failed(&handle->listing));
    EXPECT_EQ(Lines({"PASV", "LIST", "PASV", "LIST"}), transcript());
}

// Directory-level answers read the whole listing; hand-made entries give the seconds
// that no LIST line carries.
TEST_F(EntriesTest, DirectoryTimeAndTotals)
{
    struct Entry {
        const char *name;
        int64_t size;
        struct tm when;
    };
    struct Case {
        const char *label;
        std::vector<Entry> entries;
        uint16_t date, time;
        int total;
        bool first_is_dot;
        long long total64;
    } cases[] = {
        {"no entries", {}, 0x0021, 0x0000, 0, false, 0},
        {"no dot entry", {{"a", 100, local(2001, 2, 3, 4, 5, 6)}, {"b", 2048, local(2001, 2, 3, 4, 5, 6)}}, 0x0021, 0x0000, 2148, false, 2148},
        {"dot entry", {{".", 0, local(1998, 5, 1, 12, 30, 10)}, {"f", 7, local(2001, 2, 3, 4, 5, 6)}}, 0x24A1, 0x63C5, 7, true, 7},
        {"last dot wins", {{".", 0, local(1990, 1, 1, 0, 0, 0)}, {".", 0, local(1998, 5, 1, 12, 30, 10)}}, 0x24A1, 0x63C5, 0, false, 0},
        {"sizes wrap", {{"x", 0x7FFFFFFF, local(2001, 1, 1, 0, 0, 0)}, {"y", 0x7FFFFFFF, local(2001, 1, 1, 0, 0, 0)}}, 0x0021, 0x0000, -2, false, 4294967294LL},
        {"past 2 GiB", {{"big", 3000000000LL, local(2001, 1, 1, 0, 0, 0)}, {"small", 5, local(2001, 1, 1, 0, 0, 0)}}, 0x0021, 0x0000, -2147483644, false, 3000000005LL},
        {"before 1980", {{".", 0, local(1975, 6, 1, 1, 2, 4)}}, 0x0021, 0x0000, 0, true, 0},
    };
    HARC archive = (HARC)handle;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        listing_store_clear(&handle->listing);
        for (const Entry &e : c.entries) {
            ListingEntry entry;
            memset(&entry, 0, sizeof entry);
            snprintf(entry.name, sizeof entry.name, "%s", e.name);
            entry.size = e.size;
            entry.status.st_size = e.size > INT32_MAX ? INT32_MAX : (int32_t)e.size;
            entry.status.st_mtime = local_fields_to_time(&e.when, platform_zone_offset());
            entry.mtime = entry.status.st_mtime;
            entry.status.st_mode = 0x81A4;
            ASSERT_EQ(0, list_keep_entry(&handle->listing, &entry));
        }
        handle->listing.cursor = -1;
        long long total64 = -1, compressed64 = -1;
        EXPECT_EQ(1, KestrelGetArcOriginalSizeEx(archive, &total64));
        EXPECT_EQ(1, KestrelGetArcCompressedSizeEx(archive, &compressed64));
        EXPECT_EQ(c.total64, total64);
        EXPECT_EQ(c.total64, compressed64);
        EXPECT_EQ(c.date, KestrelGetArcDate(archive));
        EXPECT_EQ(c.time, KestrelGetArcTime(archive));
        EXPECT_EQ(c.total, KestrelGetArcOriginalSize(archive));
        EXPECT_EQ(c.total, KestrelGetArcFileSize(archive));
        EXPECT_EQ(c.total, KestrelGetArcCompressedSize(archive));
        // The first entry's own date and time use the same encoding.
        if (c.first_is_dot) {
            ASSERT_EQ(0, KestrelFindNext(archive, nullptr));
            EXPECT_EQ(c.date, KestrelGetDate(archive));
            EXPECT_EQ(c.time, KestrelGetTime(archive));
        }
    }
}

TEST_F(EntriesTest, ArcFileNameNamesTheConnectedEndAndTheDirectory)
{
    char host[1000];
    unsigned char loopback[4] = {127, 0, 0, 1};
    uint32_t address;
    memcpy(&address, loopback, 4);
    if (lookup_host_name(net_address_ipv4(address), host, sizeof host) != 0)
        snprintf(host, sizeof host, "127.0.0.1");
    ASSERT_NE('\0', host[0]);

    // Through a proxy of the USER user@host kind: the proxy's name and port.
    ASSERT_TRUE(server.start());
    session_set_proxy(session, 1, "127.0.0.1", server.port());
    ASSERT_EQ(0, session_connect(session, "127.0.0.2", 21, "alice", "secret"));
    ASSERT_EQ(0, session_change_dir(session, "/pub"));
    std::string expected = "ftp://alice:secret@" + std::string(host) + ":" + std::to_string(server.port()) + "/pub";
    char url[1000];
    memset(url, 'Z', sizeof url);
    EXPECT_EQ(0, KestrelGetArcFileName((HARC)handle, url, sizeof url));
    EXPECT_EQ(expected, url);
    EXPECT_EQ("USER alice@127.0.0.2", server.commands().at(0));
    // A TLS session names its own scheme.
    session->tls_mode = SESSION_TLS_EXPLICIT;
    EXPECT_EQ(0, KestrelGetArcFileName((HARC)handle, url, sizeof url));
    EXPECT_EQ("ftpes" + expected.substr(3), url);
    session->tls_mode = SESSION_TLS_IMPLICIT;
    EXPECT_EQ(0, KestrelGetArcFileName((HARC)handle, url, sizeof url));
    EXPECT_EQ("ftps" + expected.substr(3), url);
    session->tls_mode = SESSION_TLS_NONE;

    memset(url, 'Z', sizeof url);
    EXPECT_EQ(0, KestrelGetArcFileName((HARC)handle, url, 12));
    EXPECT_EQ("ftp://alice", std::string(url));
    EXPECT_EQ('Z', url[12]);
    EXPECT_EQ(-1, KestrelGetArcFileName((HARC)handle, url, 0));
    EXPECT_EQ(-1, KestrelGetArcFileName((HARC)handle, nullptr, 10));

    // A URL beyond the working buffer is refused, not cut.
    memset(session->current_dir, 'd', 990);
    session->current_dir[990] = '\0';
    memset(url, 'Z', sizeof url);
    EXPECT_EQ(-1, KestrelGetArcFileName((HARC)handle, url, sizeof url));
    EXPECT_EQ('Z', url[0]);
}

TEST_F(EntriesTest, NullHandleAnswersEveryFailureValue)
{
    char buffer[4] = "abc";
    EntryInfo info;
    for (int value : {KestrelFindFirst(nullptr, "", &info), KestrelFindNext(nullptr, &info),
                      KestrelGetFileName(nullptr, buffer, 4), KestrelGetOriginalSize(nullptr),
                      KestrelGetCompressedSize(nullptr), KestrelGetWriteTime(nullptr), KestrelGetCreateTime(nullptr),
                      KestrelGetAccessTime(nullptr), KestrelGetAttribute(nullptr), KestrelGetFileMode(nullptr),
                      KestrelGetOSType(nullptr), KestrelGetArcOSType(nullptr), KestrelGetMethod(nullptr, buffer, 4),
                      KestrelGetUserName(nullptr, buffer, 4), KestrelGetGroupName(nullptr, buffer, 4),
                      KestrelGetLinkName(nullptr, buffer, 4), KestrelGetArcFileName(nullptr, buffer, 4),
                      KestrelGetArcOriginalSize(nullptr), KestrelGetArcFileSize(nullptr),
                      KestrelGetArcCompressedSize(nullptr), KestrelGetFileCount(nullptr)})
        EXPECT_EQ(-1, value);
    for (uint16_t value : {KestrelGetDate(nullptr), KestrelGetTime(nullptr), KestrelGetArcDate(nullptr),
                           KestrelGetArcTime(nullptr)})
        EXPECT_EQ(0xFFFF, value);
    long long size = 5;
    FILETIME stamp = {5, 5};
    for (int value : {KestrelGetOriginalSizeEx(nullptr, &size), KestrelGetCompressedSizeEx(nullptr, &size),
                      KestrelGetArcOriginalSizeEx(nullptr, &size), KestrelGetArcCompressedSizeEx(nullptr, &size),
                      KestrelGetWriteTimeEx(nullptr, &stamp)})
        EXPECT_EQ(0, value);
    EXPECT_EQ(5, size);
    EXPECT_EQ(5u, stamp.dwLowDateTime);
    EXPECT_EQ(1000, KestrelGetRatio(nullptr));
    EXPECT_STREQ("abc", buffer);
}

TEST_F(EntriesTest, FileCountOpensListsAndCloses)
{
    store_env_reset();
    settings_load();
    g_settings.PassiveMode = DATA_MODE_PASSIVE;
    ASSERT_EQ(0, settings_save());
    struct Case {
        const char *label;
        std::string listing;
        bool refuse;
        int count;
    } cases[] = {
        {"three entries", "total 3\r\n-rw-r--r-- 1 u g 1 Jan 02 2024 a\r\n-rw-r--r-- 1 u g 2 Jan 02 2024 b\r\n"
                          "drwxr-xr-x 2 u g 3 Jan 02 2024 c\r\n", false, 3},
        {"empty", "", false, 0},
        {"refused", "", true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.set_listing(c.listing);
        if (c.refuse) {
            s.expect_pasv();
            s.expect("LIST", {"550 No"});
        }
        ASSERT_TRUE(s.start());
        EXPECT_EQ(c.count, KestrelGetFileCount(("ftp://127.0.0.1:" + std::to_string(s.port()) + "/pub/").c_str()));
        EXPECT_TRUE(s.wait_finished(3000));
        Lines commands = s.commands();
        ASSERT_GE(commands.size(), 2u);
        Lines tail(commands.begin() + 6, commands.end());
        Lines expected = {"CWD /pub/", "PWD", "PASV", "LIST"};
        if (!c.refuse)
            expected.insert(expected.end(), {"TYPE I", "PASV", "RETR Index"});
        EXPECT_EQ(expected, tail);
    }
    EXPECT_EQ(-1, KestrelGetFileCount("http://127.0.0.1:1/"));
    store_env_cleanup();
}
