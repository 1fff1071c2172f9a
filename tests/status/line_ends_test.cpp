// What the status window shows is CR LF text that never overruns its buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "status/status.h"

TEST(StatusLineEnds, AnyMixBecomesCrLf)
{
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {"READ: 10/20\n", "READ: 10/20\r\n"},
        {"READ: 10/20\r\n", "READ: 10/20\r\n"},
        {"a\rb", "ab"},
        {"\n\n", "\r\n\r\n"},
        {"\r\r\n", "\r\n"},
        {"", ""},
    };
    for (const Case &c : cases) {
        char out[STATUS_TEXT_SIZE];
        EXPECT_EQ(0, status_convert_line_ends(c.in, out, sizeof out)) << c.in;
        EXPECT_STREQ(c.out, out);
    }
}

TEST(StatusLineEnds, LongTextIsCutAtACharacterBoundary)
{
    // 600 line ends grow to 1200 bytes: cut, terminated, inside the buffer, never in a pair.
    std::string lines(600, '\n');
    char out[STATUS_TEXT_SIZE + 8];
    memset(out, 'X', sizeof out);
    EXPECT_EQ(-1, status_convert_line_ends(lines.c_str(), out, STATUS_TEXT_SIZE));
    size_t len = strlen(out);
    EXPECT_LT(len, (size_t)STATUS_TEXT_SIZE);
    EXPECT_EQ(0u, len % 2);
    EXPECT_EQ('\n', out[len - 1]);
    EXPECT_EQ('X', out[STATUS_TEXT_SIZE]);

    // A double-byte character that does not fit whole is left out whole.
    std::string text(STATUS_TEXT_SIZE - 2, 'a');
    text += "\x82\xa0";  // one Shift_JIS character
    char small[STATUS_TEXT_SIZE];
    EXPECT_EQ(-1, status_convert_line_ends(text.c_str(), small, sizeof small));
    EXPECT_EQ(std::string(STATUS_TEXT_SIZE - 2, 'a'), std::string(small));
}

TEST(StatusWithoutWindow, EveryOperationAcceptsNone)
{
    EXPECT_EQ(1, status_append(nullptr, "text\n"));
    EXPECT_EQ(1, status_print(nullptr, "%s %d\n", "line", 3));
    EXPECT_EQ(1, status_message_callback("READ: 1/2\n", 0));
    EXPECT_EQ(0, status_close(nullptr));
}
