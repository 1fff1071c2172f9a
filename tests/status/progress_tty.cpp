// The terminal panel's progress rows: every field fitted to the width, whole or not at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "status/progress_tty.h"

namespace {

struct ProgressCase {
    const char *kind;
    long long done;
    long long total;
    double rate;
    double elapsed;
    int width;
    int max_rows;
    const char *row1;
    const char *row2;
};

// 20975616 of 300000000 bytes at 10276044 B/s after 2 s: the 300 MB download of the README.
const ProgressCase kCases[] = {
    // 80 columns: one row with every field.
    {"READ", 20975616, 300000000, 10276044, 2.04, 79, 2,
     "READ   [.............]    6%  20.0/286 MiB  9.80 MiB/s  0:02 elapsed  0:27 left", ""},
    // 50 columns: the bar would get too narrow, so rate and times go below.
    {"READ", 20975616, 300000000, 10276044, 2.04, 49, 2,
     "READ   [#...................]    6%  20.0/286 MiB", "       9.80 MiB/s  0:02 elapsed  0:27 left"},
    // 50 columns and no room for a second row: the last fields go whole, never cut.
    {"READ", 20975616, 300000000, 10276044, 2.04, 49, 1, "READ     6%  20.0/286 MiB  9.80 MiB/s", ""},
    {"READ", 300000000, 300000000, 10276044, 29.2, 99, 2,
     "READ   [##################################]  100%  286/286 MiB  9.80 MiB/s  0:29 elapsed  0:00 left", ""},
    // Before a rate can be measured the time left is not known either.
    {"WRITE", 5000000000LL, 10000000000LL, -1, 0, 99, 2,
     "WRITE  [#################..................]   50%  4.66/9.31 GiB  -- B/s  0:00 elapsed  --:-- left", ""},
    // Done and total in different units; an hour and more of elapsed time.
    {"WRITE", 1023 * 1024, 1030 * 1024, 2e9, 3725, 99, 2,
     "WRITE  [############################.]   99%  1.00/1.01 MiB  1.86 GiB/s  1:02:05 elapsed  0:00 left", ""},
    {"READ", 999 * 1024, 2 * 1024 * 1024, 512, 1, 99, 2,
     "READ   [###############................]   48%  999 KiB/2.00 MiB  512 B/s  0:01 elapsed  34:58 left", ""},
    // Unknown size: bytes, rate and elapsed time.
    {"READ", 20975616, -1, 10276044, 2.04, 79, 2, "READ   20.0 MiB  9.80 MiB/s  0:02 elapsed", ""},
    {"READ", 512, 0, 12, 0.4, 79, 2, "READ   512 B  12 B/s  0:00 elapsed", ""},
    {"READ", 20975616, -1, 10276044, 2.04, 25, 2, "READ   20.0 MiB", ""},
};

TEST(StatusProgress, FitsEveryFieldOrLeavesItOutWhole)
{
    for (const ProgressCase &c : kCases) {
        char row1[STATUS_PROGRESS_ROW_SIZE], row2[STATUS_PROGRESS_ROW_SIZE];
        StatusProgressFigures figures = {c.kind, c.done, c.total, c.rate, c.elapsed};
        int rows = status_progress_format(&figures, c.width, c.max_rows, row1, row2);
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.done) + "/" + std::to_string(c.total) +
                     " width " + std::to_string(c.width));
        EXPECT_STREQ(c.row1, row1);
        EXPECT_STREQ(c.row2, row2);
        EXPECT_EQ(c.row2[0] ? 2 : 1, rows);
        EXPECT_LE((int)strlen(row1), c.width);
        EXPECT_LE((int)strlen(row2), c.width);
    }
}

TEST(StatusProgress, BytesInBinaryUnits)
{
    const struct {
        double bytes;
        const char *text;
    } cases[] = {
        {0, "0 B"},          {999, "999 B"},         {1000, "0.98 KiB"},      {1536, "1.50 KiB"},
        {10 * 1024, "10.0 KiB"}, {300000000, "286 MiB"}, {1023.9 * 1048576, "1.00 GiB"},
        {3.5 * 1099511627776.0, "3.50 TiB"},
    };
    for (const auto &c : cases) {
        char text[32];
        status_format_bytes(text, sizeof text, c.bytes);
        EXPECT_STREQ(c.text, text) << c.bytes;
    }
}

}  // namespace
