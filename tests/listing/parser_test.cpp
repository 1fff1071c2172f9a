#include "listing/parser.h"
#include "listing/mlsd.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/time.h"
#include "util/datetime.h"

namespace {

// putenv keeps the pointer: the texts must outlive the test.
char tz_utc[] = "TZ=UTC0";
char tz_west8[] = "TZ=PST8PDT";
char tz_east1[] = "TZ=CET-1";
char tz_west5[] = "TZ=EST5EDT";
char tz_east1_dst[] = "TZ=CET-1CEST";

struct tm local(int year, int month, int day, int hour, int minute, int second = 0)
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

struct Expected {
    const char *line;
    int mode;
    int nlink;
    int32_t size;
    int32_t mtime;
    const char *owner;
    const char *group;
    const char *name;
    const char *link;
    int64_t wide = 0;   // the whole time where the 32-bit field cannot hold it
};

void expect_entry(const Expected &e, const struct tm &now)
{
    std::string text = e.line;
    ListingEntry entry;
    memset(&entry, 0x5A, sizeof entry);
    ASSERT_EQ(0, parse_listing_line_at(&text[0], &entry, &now)) << e.line;
    EXPECT_EQ(e.mode, entry.status.st_mode) << e.line;
    EXPECT_EQ(e.nlink, entry.status.st_nlink) << e.line;
    EXPECT_EQ(e.size, entry.status.st_size) << e.line;
    if (e.size < INT32_MAX) {
        EXPECT_EQ(e.size, entry.size) << e.line;   // the sizes past it: TrueSizes
    }
    EXPECT_EQ(e.mtime, entry.status.st_mtime) << e.line;
    EXPECT_EQ(e.wide ? e.wide : e.mtime, entry.mtime) << e.line;
    EXPECT_EQ(0, entry.status.st_atime + entry.status.st_ctime + (int)entry.status.st_dev) << e.line;
    EXPECT_STREQ(e.owner, entry.owner) << e.line;
    EXPECT_STREQ(e.group, entry.group) << e.line;
    EXPECT_STREQ(e.name, entry.name) << e.line;
    EXPECT_STREQ(e.link, entry.link_target) << e.line;
}

class ListingParser : public ::testing::Test {
protected:
    // Every expectation is written for UTC; the zone offset itself is tested below.
    void SetUp() override { putenv(tz_utc); }
    void TearDown() override { putenv(tz_utc); }
    struct tm now = local(2025, 1, 5, 9, 0);
};

TEST_F(ListingParser, DosLines)
{
    const Expected cases[] = {
        {"01-05-99  10:30AM       <DIR>          Program Files", 0x4100, 0, 0, 915532200, "", "", "Program Files", ""},
        {"12-31-00  12:15PM                 1234 a.txt\r\n", 0x8100, 0, 1234, 978264900, "", "", "a.txt", ""},
        {"12-31-00  12:15AM                 1234 a.txt", 0x8100, 0, 1234, 978221700, "", "", "a.txt", ""},
        {"03-04-2024  01:02PM  99 four digit year", 0x8100, 0, 99, 1709557320, "", "", "four digit year", ""},
        {"07-04-76  12:00AM  5 x", 0x8100, 0, 5, 205286400, "", "", "x", ""},
        // Two-digit years: 49 is the last of 2000..2049 (past 2038: the 32-bit field
        // holds its largest time, the entry the true one), 50 the first of 1950..1999.
        {"01-01-49  12:00AM  7 y49", 0x8100, 0, 7, INT32_MAX, "", "", "y49", "", 2493072000LL},
        {"01-01-50  12:00AM  7 y50", 0x8100, 0, 7, -631152000, "", "", "y50", ""},
        {"12-31-69  11:59PM  7 y69", 0x8100, 0, 7, -60, "", "", "y69", ""},
        {"01-01-2040  12:00AM  7 y2040", 0x8100, 0, 7, INT32_MAX, "", "", "y2040", "", 2208988800LL},
        {"5-3-99  9:05AM  5 one digit", 0x8100, 0, 5, 925722300, "", "", "one digit", ""},
        {"01-05-99  10:30AM  <DIR>  D:\\", 0x4100, 0, 0, 915532200, "", "", "D", ""},
        {"01-05-99  10:30AM  <DIR>  a -> b", 0x4100, 0, 0, 915532200, "", "", "a -> b", ""},
        // 2 GiB and more is kept as the largest 32-bit size, never wrapped.
        {"01-05-99  10:30AM  2147483647 max", 0x8100, 0, INT32_MAX, 915532200, "", "", "max", ""},
        {"01-05-99  10:30AM  2147483648 big", 0x8100, 0, INT32_MAX, 915532200, "", "", "big", ""},
        {"01-05-99  10:30AM  123456789012345678901234567890 huge", 0x8100, 0, INT32_MAX, 915532200, "", "", "huge", ""},
        // The 24-hour clock.
        {"05-26-95  13:08  <DIR>  name", 0x4100, 0, 0, 801493680, "", "", "name", ""},
        {"05-26-95  00:00  4096 midnight.txt", 0x8100, 0, 4096, 801446400, "", "", "midnight.txt", ""},
        {"05-26-1995  13:08       <DIR>          wide", 0x4100, 0, 0, 801493680, "", "", "wide", ""},
        // The 24-hour clock in IIS's AM/PM columns: the two places of the marker blank.
        {"12-05-96  17:03         <DIR>          absoft2", 0x4100, 0, 0, 849805380, "", "", "absoft2", ""},
        {"12-05-96  17:03                   1234 a.txt", 0x8100, 0, 1234, 849805380, "", "", "a.txt", ""},
        {"12-05-96  17:03                   1234  lead", 0x8100, 0, 1234, 849805380, "", "", " lead", ""},
        // In IIS's columns the name begins one blank behind the size column, its own
        // leading blanks kept; elsewhere blanks after the size are padding.
        {"01-05-99  10:30AM       <DIR>           leading", 0x4100, 0, 0, 915532200, "", "", " leading", ""},
        {"12-31-00  12:15PM                 1234   two.txt", 0x8100, 0, 1234, 978264900, "", "", "  two.txt", ""},
        {"12-31-00  12:15PM                 1234 arrow -> inside", 0x8100, 0, 1234, 978264900, "", "", "arrow -> inside", ""},
        {"12-31-00  12:15PM       1234   padded", 0x8100, 0, 1234, 978264900, "", "", "padded", ""},
    };
    for (const Expected &e : cases)
        expect_entry(e, now);
}

TEST_F(ListingParser, UnixLines)
{
    const Expected cases[] = {
        {"-rw-r--r--   1 ftp  ftp  4096 Jan  5 12:30 notes.txt", 0x81A4, 1, 4096, 1736080200, "ftp", "ftp", "notes.txt", ""},
        {"drwxr-xr-x 2 u g 512 Dec 31 1998 old", 0x41ED, 2, 512, 915062400, "u", "g", "old", ""},
        {"lrwxrwxrwx 1 u g 11 Jan 2 2024 lib -> usr/lib", 0x41FF, 1, 11, 1704153600, "u", "g", "lib", "usr/lib"},
        {"lrwxrwxrwx 1 u g 11 Jan 2 2024 lib.so -> usr/lib", 0x81FF, 1, 11, 1704153600, "u", "g", "lib.so", "usr/lib"},
        // Only a link's line has a target: any other name keeps its arrow.
        {"-rw-r--r-- 1 u g 5 Jan 2 2024 a -> b", 0x81A4, 1, 5, 1704153600, "u", "g", "a -> b", ""},
        {"-rw-r--r-- 1 u g 5 Jan 2 2024 arrow -> inside", 0x81A4, 1, 5, 1704153600, "u", "g", "arrow -> inside", ""},
        {"drwxr-xr-x 2 u g 5 Jan 2 2024 d -> e", 0x41ED, 2, 5, 1704153600, "u", "g", "d -> e", ""},
        // The name is all behind the one blank after the date, leading blanks too.
        {"-rw-r--r-- 1 u g 5 Jan 2 2024  leading", 0x81A4, 1, 5, 1704153600, "u", "g", " leading", ""},
        {"-rw-r--r-- 1 u g 5 Jan  2 12:30   three", 0x81A4, 1, 5, 1735821000, "u", "g", "  three", ""},
        {"lrwxrwxrwx 1 u g 5 Jan 2 2024  lead -> x.txt", 0x41FF, 1, 5, 1704153600, "u", "g", " lead", "x.txt"},
        // No group column; a group name with blanks.
        {"-rw-r--r-- 1 owner 1234 Jan 1 12:00 name", 0x81A4, 1, 1234, 1735732800, "owner", "", "name", ""},
        {"-rw-r--r--    1 1001         20 Jan 02  2024 two words", 0x81A4, 1, 20, 1704153600, "1001", "", "two words", ""},
        {"-rw-r--r-- 1 owner Domain Users 1234 Jan 1 12:00 name", 0x81A4, 1, 1234, 1735732800, "owner", "Domain Users", "name", ""},
        {"drwxr-xr-x 3 owner a  b c 4096 Dec 31 23:59  dir", 0x41ED, 3, 4096, 1735689540, "owner", "a  b c", " dir", ""},
        {"lrwxrwxrwx 1 owner my group 7 Jan 2 2024 ln -> t", 0x41FF, 1, 7, 1704153600, "owner", "my group", "ln", "t"},
        {"crw-rw-rw- 1 root 1, 3 Jan 2 2024 null", 0x21B6, 1, 0, 1704153600, "root", "", "null", ""},
        {"crw--w---- 1 root tty group 4, 1 Jan 2 2024 tty1", 0x2190, 1, 0, 1704153600, "root", "tty group", "tty1", ""},
        {"-rwsr-S--t 1 u g 0 Jan 2 2024 s", 0x81A0, 1, 0, 1704153600, "u", "g", "s", ""},
        {"prw------- 1 u g 0 Jan 2 2024 fifo", 0x8180, 1, 0, 1704153600, "u", "g", "fifo", ""},
        {"crw-rw-rw- 1 root root 1,   3 Jan  2  2024 null", 0x21B6, 1, 0, 1704153600, "root", "root", "null", ""},
        {"dr 3 u g 0 JAN 2 2024 .", 0x4100, 3, 0, 1704153600, "u", "g", ".", ""},
        {"d 3 u g 0 jan 2 2024 ..\n", 0x4000, 3, 0, 1704153600, "u", "g", "..", ""},
        // A one-digit hour; now is 2025-01-05, so March is last year's.
        {"-rw-r--r-- 1 u g 5 Mar 25  9:05 report.pdf", 0x81A4, 1, 5, 1711357500, "u", "g", "report.pdf", ""},
        {"-rw-r--r-- 1 u g 5 Jan  5  0:00 midnight", 0x81A4, 1, 5, 1736035200, "u", "g", "midnight", ""},
        // Years before 1970 and after 2038; the 32-bit field holds the nearest it can.
        {"-rw-r--r-- 1 u g 5 Dec 31  1969 old", 0x81A4, 1, 5, -86400, "u", "g", "old", ""},
        {"-rw-r--r-- 1 u g 5 Dec 14  1901 first", 0x81A4, 1, 5, -2147472000, "u", "g", "first", ""},
        {"-rw-r--r-- 1 u g 5 Jan  1  1900 older", 0x81A4, 1, 5, INT32_MIN, "u", "g", "older", "", -2208988800LL},
        {"-rw-r--r-- 1 u g 5 Jan 19  2038 last", 0x81A4, 1, 5, 2147472000, "u", "g", "last", ""},
        {"-rw-r--r-- 1 u g 5 Jan 20  2038 later", 0x81A4, 1, 5, INT32_MAX, "u", "g", "later", "", 2147558400LL},
        {"-rw-r--r-- 1 u g 5 Mar  1  2100 no leap day", 0x81A4, 1, 5, INT32_MAX, "u", "g", "no leap day", "", 4107542400LL},
        // A link count glued to the ACL mark; neither owner nor group before the size.
        {"drwxr-x---+1464 u g 4096 Jan 2 2024 acl", 0x41E8, 1464, 4096, 1704153600, "u", "g", "acl", ""},
        {"-rw-r--r--@12 u g 7 Jan 2 2024 mark", 0x81A4, 12, 7, 1704153600, "u", "g", "mark", ""},
        {"-rw-r--r-- 1 1234 Jan 2 2024 no owner", 0x81A4, 1, 1234, 1704153600, "", "", "no owner", ""},
        {"crw-rw-rw- 1 1, 3 Jan 2 2024 bare device", 0x21B6, 1, 0, 1704153600, "", "", "bare device", ""},
        {"crw-rw-rw- 1 root root 1,3 Jan 2 2024 glued", 0x21B6, 1, 0, 1704153600, "root", "root", "glued", ""},
        {"-rw-r--r-- 70000 u g 1 Jan 2 2024 links", 0x81A4, 4464, 1, 1704153600, "u", "g", "links", ""},
        {"-rw-r--r-- 1 u g 2147483648 Jan 2 2024 dvd.iso", 0x81A4, 1, INT32_MAX, 1704153600, "u", "g", "dvd.iso", ""},
        {"-rw-r--r-- 1 u g 4294967296 Jan 2 2024 wraps.iso", 0x81A4, 1, INT32_MAX, 1704153600, "u", "g", "wraps.iso", ""},
    };
    for (const Expected &e : cases)
        expect_entry(e, now);
}

// What the four test servers (vsftpd, pure-ftpd, proftpd, pyftpdlib) send, measured.
TEST_F(ListingParser, RealServerLines)
{
    const int32_t jan2 = 1704153600, dec8 = 1733677680;
    const Expected cases[] = {
        {"-rw-r--r--    1 1001     1001       307200 Jan 02  2024 data.bin", 0x81A4, 1, 307200, jan2, "1001", "1001", "data.bin", ""},
        {"drwxr-xr-x    2 1001     1001         4096 Jan 02  2024 sub", 0x41ED, 2, 4096, jan2, "1001", "1001", "sub", ""},
        {"lrwxrwxrwx    1 1001     1001           10 Jan 02  2024 link.txt -> readme.txt", 0x81FF, 1, 10, jan2, "1001", "1001", "link.txt", "readme.txt"},
        {"-rw-r--r--    1 1001     1001           20 Jan 02  2024 two words.txt", 0x81A4, 1, 20, jan2, "1001", "1001", "two words.txt", ""},
        {"-rw-r--r--    1 1001     1001            1 Dec 08 17:08 fresh.txt", 0x81A4, 1, 1, dec8, "1001", "1001", "fresh.txt", ""},
        {"-rw-r--r--    1 0        0          307200 Jan 02  2024 data.bin", 0x81A4, 1, 307200, jan2, "0", "0", "data.bin", ""},
        {"-rw-r--r--    1 kestrel    kestrel        307200 Jan  2  2024 data.bin", 0x81A4, 1, 307200, jan2, "kestrel", "kestrel", "data.bin", ""},
        {"lrwxrwxrwx    1 kestrel    kestrel            10 Jan  2  2024 link.txt -> readme.txt", 0x81FF, 1, 10, jan2, "kestrel", "kestrel", "link.txt", "readme.txt"},
        {"-rw-r--r--    1 kestrel    kestrel            20 Jan  2  2024 two words.txt", 0x81A4, 1, 20, jan2, "kestrel", "kestrel", "two words.txt", ""},
        {"-rw-r--r--   1 kestrel  kestrel    307200 Jan  2  2024 data.bin", 0x81A4, 1, 307200, jan2, "kestrel", "kestrel", "data.bin", ""},
        {"drwxr-xr-x   2 kestrel  kestrel      4096 Jan  2  2024 sub", 0x41ED, 2, 4096, jan2, "kestrel", "kestrel", "sub", ""},
        {"lrwxrwxrwx   1 kestrel  kestrel        10 Jan  2  2024 link.txt -> readme.txt", 0x81FF, 1, 10, jan2, "kestrel", "kestrel", "link.txt", "readme.txt"},
        {"-rw-r--r--   1 kestrel  kestrel         1 Dec  8 17:08 fresh.txt", 0x81A4, 1, 1, dec8, "kestrel", "kestrel", "fresh.txt", ""},
        {"-rw-r--r--   1 root     root       307200 Jan 02  2024 data.bin", 0x81A4, 1, 307200, jan2, "root", "root", "data.bin", ""},
        {"drwxr-xr-x   2 kestrel  kestrel      4096 Jan 02  2024 sub", 0x41ED, 2, 4096, jan2, "kestrel", "kestrel", "sub", ""},
        {"lrwxrwxrwx   1 kestrel  kestrel        10 Jan 02  2024 link.txt -> readme.txt", 0x81FF, 1, 10, jan2, "kestrel", "kestrel", "link.txt", "readme.txt"},
        {"-rw-r--r--   1 kestrel  kestrel         1 Dec 08 17:08 fresh.txt", 0x81A4, 1, 1, dec8, "kestrel", "kestrel", "fresh.txt", ""},
    };
    for (const Expected &e : cases)
        expect_entry(e, now);   // now is 2025-01-05: "Dec 8" is last year's
}

TEST_F(ListingParser, DateWithoutYearNeverLiesMoreThanADayAhead)
{
    const struct {
        struct tm now;
        const char *date;
        int32_t mtime;
    } cases[] = {
        {local(2024, 3, 1, 12, 0), "Mar  1 13:00", 1709298000},  // later today: this year
        {local(2024, 3, 1, 12, 0), "Mar  2 12:00", 1709380800},  // exactly one day ahead: this year
        {local(2024, 3, 1, 12, 0), "Mar  2 12:01", 1677758460},  // beyond a day: last year
        {local(2024, 3, 1, 12, 0), "Dec 08 17:08", 1702055280},
        {local(2024, 12, 31, 23, 59, 59), "Jan  1 00:00", 1704067200},
    };
    for (const auto &c : cases) {
        std::string line = std::string("-rw-r--r-- 1 u g 1 ") + c.date + " f";
        ListingEntry entry;
        ASSERT_EQ(0, parse_unix_line_at(&line[0], &entry, &c.now)) << c.date;
        EXPECT_EQ(c.mtime, entry.status.st_mtime) << c.date;
    }
}

TEST_F(ListingParser, SystemClockPlacesRecentDatesNoLaterThanTomorrow)
{
    char line[] = "-rw-r--r-- 1 u g 1 Dec 31 23:59 f";
    ListingEntry entry;
    ASSERT_EQ(0, parse_listing_line(line, &entry));
    int64_t ahead = (int64_t)entry.status.st_mtime - platform_now();
    EXPECT_LE(ahead, 86400);
    EXPECT_GT(ahead, -366 * 86400);
}

TEST_F(ListingParser, LinesThatFitNeitherForm)
{
    const char *const lines[] = {
        "", "\r\n", "total 12",
        "01-05-99  10:30am  <DIR>  x",           // lower-case marker
        "01-05-99  10:30 AM  <DIR>  x",          // blank before the marker
        "01-05-99  10:30XM  <DIR>  x",
        "01-05-99  10:30AM  <DIR>",              // no name
        "01-05-99  10:30AM  <DIR>    \r\n",
        "01-05-99  10:30AM  abc  x",             // size word neither <DIR> nor a number
        "05-26-95  24:00  <DIR>  x",             // no 24-hour clock
        "05-26-95  13:60  <DIR>  x",
        "05-26-95  13:08  <DIR>   ",
        "-rw-r--r-- 1 owner 1234 Jxn 5 12:30 name",   // no group and no month
        "-rw-r--r-- 1 owner 1234 Jan 32 12:30 name",  // no group and no day
        "-rw-r--r-- 1 owner 1234 Jan 5 12:3 name",
        "-rw-r--r-- x owner 1234 Jan 5 12:30 name",   // no link count
        "lrwxrwxrwx 1 u g 5 Jan 5 2024  -> target",   // a link without a name
        "lrwxrwxrwx 1 u g 5 Jan 5 2024    -> target",
        "-rw-r--r-- 1 u g 5 Jan 5 12:30",        // no name
        "-rw-r--r-- 1 u g 5 Jan 5 12:30   ",
        "-rw-r--r-- 1 u g -5 Jan 5 2024 negative",
        "-rw-r--r-- 1 u g 5 2024-01-02 03:04 iso",   // no date form known
        // A month that is none of the twelve; a day, hour or minute out of range.
        "-rw-r--r-- 1 u g 5 Xyz 2 2024 ..", "-rw-r--r-- 1 u g 5 Janv 2 2024 x", "-rw-r--r-- 1 u g 5 Aug 36 2001 x",
        "-rw-r--r-- 1 u g 5 May 32 11:22 x", "-rw-r--r-- 1 u g 5 May 0 11:22 x", "-rw-r--r-- 1 u g 5 Dec 19 23:ab index.html",
        "-rw-r--r-- 1 u g 5 Dec 19 24:00 x", "-rw-r--r-- 1 u g 5 Dec 19 23:60 x", "-rw-r--r-- 1 u g 5 Dec 19 123:00 x",
        // Counts, sizes and years with other characters glued to them ("major, minor" is a device's alone).
        "-rw-r--r-- 1 u g 1226672x Jan 2 2024 x", "-rw-r--r-- 51x u g 5 Jan 2 2024 x", "-rw-r--r-- 1 u g 5 Jan 2 2024x x",
        "-rw-r--r-- 1 u g 5 Jan 2x 2024 x", "-rw-r--r-- 1 u g 5 Jan 2 12:30x x", "-rw-r--r-- 1 u g 9,730 Jan 2 2024 x",
        "-rw-r--r-- 1 u g 9, 730 Jan 2 2024 x", "-rw-r--r-- 1 u g +5 Jan 2 2024 x", "-rw-r--r-- 1 u g 5 Jan 2 20245 x",
        "12-31-00  12:15AM  1,234 comma", "12-31-00  12:15AM  51x x",
        // Dates of the MS-DOS form out of range.
        "13-05-96  10:30AM  5 x", "00-05-96  10:30AM  5 x", "12-32-96  10:30AM  5 x",
        "12-00-96  10:30AM  5 x", "12-05-96  13:30PM  5 x", "12-05-96  10:60AM  5 x",
        "12-05-96  10:3AM  5 x", "-12-05-96  10:30AM  5 x", "12-+5-96  10:30AM  5 x",
        // Lines of other systems: MVS datasets, ISO dates, a date of its own.
        "WYOSPT 3420   2003/05/21  1  200  FB      80  8000  PS  MDI.OKL.WORK",
        "PUB001 3390   2003/09/16  1   15  FB      80  6160  PS   60-MVS.FILE",
        "-rw-r--r-- 1 owner group 1234 09-26 2000 05-unix-date file",
        "2002-09-02  18:30  <DIR>  iso dir", "2002-09-02 18:30 1234 iso file",
    };
    for (const char *text : lines) {
        std::string line = text;
        ListingEntry entry;
        EXPECT_EQ(-1, parse_listing_line_at(&line[0], &entry, &now)) << text;
    }
}

// MLSD lines: exact sizes, UTC times with seconds whatever the zone, types from the type
// fact or the mode's type bits; odd facts are passed over, wrong numbers give no entry.
TEST_F(ListingParser, MlsdLines)
{
    putenv(tz_west8);  // the zone must not move a UTC time
    const Expected cases[] = {
        {"type=file;size=1024;modify=20240102030405;UNIX.mode=0644; notes.txt", 0x81A4, 0, 1024, 1704164645, "", "",
         "notes.txt", ""},
        {"Type=DIR;Modify=20240102030405.123;Perm=flcdmpe; docs\r\n", 0x41ED, 0, 0, 1704164645, "", "", "docs", ""},
        {"type=OS.unix=slink:/etc/target;size=12;modify=19991231235959; link.conf", 0x81A4, 0, 12, 946684799, "", "",
         "link.conf", "/etc/target"},
        {"type=file;UNIX.mode=0120777;size=7; lnk", 0x41FF, 0, 7, 0, "", "", "lnk", ""},
        {"type=OS.unix=symlink;size=7; lnk2", 0x41ED, 0, 7, 0, "", "", "lnk2", ""},
        {"UNIX.mode=040755;sizd=4096; no type", 0x41ED, 0, 4096, 0, "", "", "no type", ""},
        {"type=file;size=3000000000;modify=21000101000000; big", 0x81A4, 0, INT32_MAX, INT32_MAX, "", "", "big", "",
         4102444800},
        {"type=file;size=1;modify=19600601120000; old", 0x81A4, 0, 1, -302443200, "", "", "old", ""},
        {"type=file;size=1;  two  blanks ", 0x81A4, 0, 1, 0, "", "", " two  blanks ", ""},
        {"type=file;x.custom=;lang=en;size=5;unique=801g4; odd", 0x81A4, 0, 5, 0, "", "", "odd", ""},
        {"type=file;size=1;UNIX.owner=1000;UNIX.ownername=alice;UNIX.gid=100; o", 0x81A4, 0, 1, 0, "alice", "100",
         "o", ""},
        {"size=9;type=file x", 0x81A4, 0, 9, 0, "", "", "x", ""},
        {"type=file;size=2; a=b;c -> d", 0x81A4, 0, 2, 0, "", "", "a=b;c -> d", ""},
    };
    for (const Expected &e : cases) {
        std::string text = e.line;
        ListingEntry entry;
        memset(&entry, 0x5A, sizeof entry);
        ASSERT_EQ(MLSD_ENTRY, parse_mlsd_line(&text[0], &entry)) << e.line;
        EXPECT_EQ(e.mode, entry.status.st_mode) << e.line;
        EXPECT_EQ(e.size, entry.status.st_size) << e.line;
        EXPECT_EQ(e.wide ? 3000000000LL : e.size, entry.size) << e.line;
        EXPECT_EQ(e.mtime, entry.status.st_mtime) << e.line;
        EXPECT_EQ(e.wide ? e.wide : e.mtime, entry.mtime) << e.line;
        EXPECT_STREQ(e.owner, entry.owner) << e.line;
        EXPECT_STREQ(e.group, entry.group) << e.line;
        EXPECT_STREQ(e.name, entry.name) << e.line;
        EXPECT_STREQ(e.link, entry.link_target) << e.line;
    }
    const struct {
        const char *line;
        int result;
    } others[] = {
        {"type=cdir;modify=20240102030405; /pub", MLSD_SKIP},
        {"type=pdir;modify=20240102030405; ..", MLSD_SKIP},
        {"type=file;size=12x; glued", MLSD_NO_ENTRY},
        {"type=file;size=-1; negative", MLSD_NO_ENTRY},
        {"type=file;size=; empty", MLSD_NO_ENTRY},
        {"type=file;size=1234567890123456789; huge", MLSD_NO_ENTRY},
        {"type=file;modify=20241301000000; month 13", MLSD_NO_ENTRY},
        {"type=file;modify=2024010203040; short", MLSD_NO_ENTRY},
        {"type=file;modify=20240102030405.; no fraction", MLSD_NO_ENTRY},
        {"type=file;UNIX.mode=0999; not octal", MLSD_NO_ENTRY},
        {"type=file;size=1;", MLSD_NO_ENTRY},
        {"type=file;size=1; ", MLSD_NO_ENTRY},
        {"type=file;nonsense;size=1; x", MLSD_NO_ENTRY},
        {"-rw-r--r-- 1 ftp ftp 10 Jan 02 2024 f", MLSD_NO_ENTRY},
        {"", MLSD_NO_ENTRY},
    };
    for (const auto &o : others) {
        std::string text = o.line;
        ListingEntry entry;
        EXPECT_EQ(o.result, parse_mlsd_line(&text[0], &entry)) << o.line;
    }
}

TEST_F(ListingParser, OverlongWords)
{
    ListingEntry entry;
    // A first word that cannot be a permission word: the line is refused.
    std::string line = "d" + std::string(99, '-') + " 1 u g 0 Jan 2 2024 x";
    EXPECT_EQ(-1, parse_unix_line_at(&line[0], &entry, &now));
    line = "d" + std::string(98, '-') + " 1 u g 0 Jan 2 2024 x";
    EXPECT_EQ(0, parse_unix_line_at(&line[0], &entry, &now));
    EXPECT_EQ(0x4000, entry.status.st_mode);

    // Owner and group are only shown: they are cut to 255 characters, the entry stays.
    line = "-rw-r--r-- 1 " + std::string(300, 'o') + " " + std::string(256, 'g') +
           " 7 Jan 2 2024 kept name";
    ASSERT_EQ(0, parse_unix_line_at(&line[0], &entry, &now));
    EXPECT_EQ(std::string(255, 'o'), entry.owner);
    EXPECT_EQ(std::string(255, 'g'), entry.group);
    EXPECT_EQ(1704153600, entry.status.st_mtime);
    EXPECT_STREQ("kept name", entry.name);
    // A long month word is no month.
    line = "-rw-r--r-- 1 o g 7 " + std::string(150, 'M') + " 2 2024 x";
    EXPECT_EQ(-1, parse_unix_line_at(&line[0], &entry, &now));

    // A name or link target that does not fit is never cut: the line is refused.
    for (const char *prefix : {"-rw-r--r-- 1 u g 7 Jan 2 2024 ", "01-02-24  12:00AM  7 ",
                               "lrwxrwxrwx 1 u g 7 Jan 2 2024 a -> "}) {
        line = prefix + std::string(LISTING_NAME_SIZE - 1, 'n');
        EXPECT_EQ(0, parse_listing_line_at(&line[0], &entry, &now)) << prefix;
        line = prefix + std::string(LISTING_NAME_SIZE, 'n');
        EXPECT_EQ(-1, parse_listing_line_at(&line[0], &entry, &now)) << prefix;
    }
}

TEST_F(ListingParser, MonthIndex)
{
    const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(i, month_index(months[i]));
    EXPECT_EQ(0, month_index("JAN"));
    EXPECT_EQ(11, month_index("dEC"));
    for (const char *other : {"January", "", "Ja", "Dec ", "Mai", "Okt", "J@n"})
        EXPECT_EQ(-1, month_index(other)) << other;
}

TEST_F(ListingParser, CalendarSeconds)
{
    const struct {
        struct tm fields;
        int32_t seconds;
    } cases[] = {
        {local(1970, 1, 1, 0, 0), 0},
        {local(2000, 3, 1, 0, 0), 951868800},
        {local(2024, 2, 29, 0, 0), 1709164800},
        {local(1969, 1, 1, 0, 0), -31536000},
        {local(1999, 13, 1, 0, 0), 946684800},         // month 12 is January of the next year
        {local(1999, 12, 31, 24, 0), 946684800},       // an hour of 24 adds up
        {local(2100, 3, 1, 0, 0), INT32_MAX},          // past 2038 the field sticks at its end
        {local(1900, 3, 1, 0, 0), INT32_MIN},          // and before 1901 at its other end
        {local(1970, 1, 1, 0, 0, -5), -5},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.seconds, calendar_seconds(&c.fields)) << asctime(&c.fields);
}

TEST_F(ListingParser, LocalFieldsAddTheStandardZoneOffset)
{
    struct tm epoch = local(1970, 1, 1, 0, 0);
    struct tm summer = local(2024, 7, 1, 0, 0);
    struct tm jan2 = local(2024, 1, 2, 0, 0);
    EXPECT_EQ(0, local_fields_to_time(&epoch, platform_zone_offset()));
    putenv(tz_west8);   // eight hours west; this sum is standard time alone, the zone's
                        // daylight saving is LocalTimesCountDaylightSaving's
    EXPECT_EQ(28800, local_fields_to_time(&epoch, platform_zone_offset()));
    EXPECT_EQ(calendar_seconds(&summer) + 28800, local_fields_to_time(&summer, platform_zone_offset()));
    char line[] = "-rw-r--r-- 1 u g 1 Jan 2 2024 f";
    ListingEntry entry;
    ASSERT_EQ(0, parse_unix_line_at(line, &entry, &now));
    EXPECT_EQ(calendar_seconds(&jan2) + 28800, entry.status.st_mtime);
    putenv(tz_east1);
    EXPECT_EQ(-3600, local_fields_to_time(&epoch, platform_zone_offset()));
}

// Listing times are read through the zone's daylight saving, as the entry queries show
// them: the seconds must turn back into the very fields the line gave. A zone written
// without its rules follows the US ones, with glibc and under Wine alike.
TEST_F(ListingParser, LocalTimesCountDaylightSaving)
{
    const struct {
        char *zone;
        const char *line;
        int32_t mtime;
        int hour, minute;
    } cases[] = {
        {tz_west5, "07-04-22 10:00AM 1 summer", 1656943200, 10, 0},
        {tz_west5, "01-04-22 10:00AM 1 winter", 1641308400, 10, 0},
        {tz_west5, "07-04-22 10:00PM 1 late", 1656986400, 22, 0},
        {tz_west5, "07-04-22  22:00  <DIR>  24-hour clock", 1656986400, 22, 0},
        {tz_west5, "-rw-r--r-- 1 u g 1 Jul  4  2022 unix", 1656907200, 0, 0},
        {tz_west5, "03-13-22 03:30AM 1 after the change", 1647156600, 3, 30},
        {tz_west5, "11-06-22 01:30AM 1 the hour shown twice", 1667716200, 1, 30},
        {tz_west5, "11-06-22 02:30AM 1 after it", 1667719800, 2, 30},
        {tz_east1_dst, "07-04-22 10:00AM 1 east", 1656921600, 10, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + c.line);
        putenv(c.zone);
        std::string line = c.line;
        ListingEntry entry;
        ASSERT_EQ(0, parse_listing_line_at(&line[0], &entry, &now));
        EXPECT_EQ(c.mtime, entry.status.st_mtime);
        struct tm back;
        ASSERT_EQ(0, platform_local_time(entry.status.st_mtime, &back));
        EXPECT_EQ(c.hour, back.tm_hour);
        EXPECT_EQ(c.minute, back.tm_min);
    }
}

}  // namespace
