// The listing report and its date conversion: entry lines, totals, widths, and the
// MS-DOS stamps turned back into local dates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "api/open_and_stamps.h"
#include "command/actions.h"
#include "command/entry.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/store_env.h"

namespace {

// putenv keeps the pointer: the texts must outlive the test.
char tz_utc[] = "TZ=UTC0";
char tz_east1[] = "TZ=CET-1";
char tz_west8[] = "TZ=PST8PDT";

const char HEADER[] = "  Name          Original    Packed  Ratio     Date     Time   Attr Method   CRC-32\n";
const char RULE[] = "--------------  --------  -------- ------ ---------- -------- ---- -------- --------\n";

struct ListTest : ::testing::Test {
    void SetUp() override
    {
        putenv(tz_utc);
        store_env_reset();
    }
    void TearDown() override
    {
        putenv(tz_utc);
        store_env_cleanup();
    }
};

}  // namespace

TEST_F(ListTest, DosStampsCountAsLocalTime)
{
    struct Case {
        char *zone;
        uint16_t date, time;
        int32_t seconds;
    } cases[] = {
        {tz_utc, 0x0021, 0x0000, 315532800},              // 1980-01-01 00:00:00
        {tz_utc, 0x24A1, 0x63C5, 894025810},              // 1998-05-01 12:30:10
        {tz_utc, 0x1460, 0x0000, 636163200},              // day 0 of March: 28 February
        {tz_utc, 0xFF9F, 0xBF7D, 2147483647},             // 2107 does not fit: the end of the range
        {tz_east1, 0x0021, 0x0000, 315532800 - 3600},     // one hour east
        {tz_west8, 0x0021, 0x0000, 315532800 + 8 * 3600}, // winter: standard time
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.date) + " " + std::to_string(c.time));
        putenv(c.zone);
        EXPECT_EQ(c.seconds, dos_stamp_to_time(c.date, c.time));
    }
    // The words come from the runtime's local time, daylight saving included, so they
    // go back through it too: the report shows the stamp's own clock in summer as well.
    putenv(tz_west8);
    for (uint16_t date : {0x24A1, 0x2421}) {   // 1 May and 1 January 1998, 12:30:10
        struct tm at;
        ASSERT_EQ(0, dos_stamp_local_fields(date, 0x63C5, &at)) << date;
        EXPECT_EQ(12 * 3600 + 30 * 60 + 10, at.tm_hour * 3600 + at.tm_min * 60 + at.tm_sec) << date;
        EXPECT_EQ(date & 0x1F, at.tm_mday) << date;
    }
}

// Names, sizes, the ratio, dates, attribute letters, the method and the CRC column, a
// name wider than its field, and the totals of a directory without a "." entry.
TEST_F(ListTest, ReportShowsEveryEntryAndTheTotals)
{
    FtpScriptServer server;
    server.set_auto_answer(true);
    server.set_listing("-rw-r--r--   1 u g       100 Jan  2  2024 a.txt\r\n"
                       "-r--r--r--   1 u g      2048 Mar 15  2023 ro.txt\r\n"
                       "drwxr-xr-x   2 u g      4096 Dec 31  2022 sub\r\n"
                       "-rw-------   1 u g         7 Feb 29  2020 a_name_longer_than_fourteen.txt\r\n"
                       "-rw-r--r--   1 u g        10 Jan  2  2024 \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt\r\n");
    ASSERT_TRUE(server.start());
    char area[3000] = "";
    std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    EXPECT_EQ(0, Kestrel(nullptr, ("-lq " + url).c_str(), area, (int)sizeof area - 1));
    // The name column is padded by the columns a name takes: three wide characters under
    // a UTF-8 locale; under an ANSI code page the same 13 bytes are 13 characters.
#ifdef _WIN32
    const std::string wide_name_pad = " ";
#else
    const std::string wide_name_pad = "    ";
#endif
    EXPECT_EQ(std::string(HEADER) + RULE +
                  "         a.txt       100       100  100.0 2024-01-02 00:00:00 ----   -ftp- 00000000\n"
                  "        ro.txt      2048      2048  100.0 2023-03-15 00:00:00 ---R   -ftp- 00000000\n"
                  "          sub/      4096      4096  100.0 2022-12-31 00:00:00 ----   -ftp- 00000000\n"
                  "a_name_longer_than_fourteen.txt         7         7  100.0 2020-02-29 00:00:00 ----   -ftp- 00000000\n" +
                  wide_name_pad + "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt        10        10  100.0 2024-01-02 00:00:00 ----   -ftp- 00000000\n" +
                  RULE + "     5 files        6261      6261  100.0 1980-01-01 00:00:00\n",
              std::string(area));
}

// The directory's own time comes from its "." entry, shown in local time.
TEST_F(ListTest, TotalsTakeTheDirectoryTimeFromItsDotEntry)
{
    putenv(tz_east1);
    FtpScriptServer server;
    server.set_auto_answer(true);
    server.set_listing("drwxr-xr-x   2 u g       512 May  1  1998 .\r\n"
                       "-rw-r--r--   1 u g        10 May  1  1998 f\r\n");
    ASSERT_TRUE(server.start());
    char area[3000] = "";
    std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    EXPECT_EQ(0, Kestrel(nullptr, ("-lq " + url).c_str(), area, (int)sizeof area - 1));
    std::string report(area);
    std::string totals = "     2 files         522       522  100.0 1998-05-01 00:00:00\n";
    ASSERT_GE(report.size(), totals.size());
    EXPECT_EQ(totals, report.substr(report.size() - totals.size()));
}
