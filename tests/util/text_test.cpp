#include "util/text.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(TextCopy, FitsOrRefusesWithoutOverrun)
{
    struct Case {
        const char *src;
        int result;
        const char *kept;
    } cases[] = {
        {"", 0, ""},
        {"abc", 0, "abc"},
        {"abcd", 0, "abcd"},  // exactly size-1 characters fit
        {"abcde", -1, "abcd"},
    };
    for (const Case &c : cases) {
        char buf[6];
        memset(buf, 'X', sizeof buf);
        EXPECT_EQ(c.result, text_copy(buf, 5, c.src)) << c.src;
        EXPECT_STREQ(c.kept, buf) << c.src;
        EXPECT_EQ('X', buf[5]) << "byte past the buffer written for " << c.src;
    }
}

TEST(TextCopy, PieceStopsAtCountOrTerminator)
{
    char buf[8];
    EXPECT_EQ(0, text_copy_n(buf, sizeof buf, "hello world", 5));
    EXPECT_STREQ("hello", buf);
    EXPECT_EQ(0, text_copy_n(buf, sizeof buf, "hi", 5));
    EXPECT_STREQ("hi", buf);
    EXPECT_EQ(-1, text_copy_n(buf, sizeof buf, "hello world", 11));
    EXPECT_STREQ("hello w", buf);
}

TEST(TextAppendAndFormat, ReportCuts)
{
    char buf[8] = "abc";
    EXPECT_EQ(0, text_append(buf, sizeof buf, "def"));
    EXPECT_STREQ("abcdef", buf);
    EXPECT_EQ(-1, text_append(buf, sizeof buf, "gh"));
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(0, text_format(buf, sizeof buf, "%d-%s", 42, "ab"));
    EXPECT_STREQ("42-ab", buf);
    EXPECT_EQ(-1, text_format(buf, sizeof buf, "%d", 123456789));
    EXPECT_STREQ("1234567", buf);
}

TEST(TextToInt64, DigitsUpToTheLargestValueAndNoFurther)
{
    struct Case {
        const char *text;
        int count;
        int64_t value;
        const char *rest;
    } cases[] = {
        {"", 0, 0, ""},
        {" 12", 0, 0, " 12"},
        {"4294967296 bytes)", 10, 4294967296LL, " bytes)"},
        {"9223372036854775807", 19, INT64_MAX, ""},
        {"9223372036854775808", -1, 0, nullptr},
        // Past the largest value by far: no wrap-around back into range.
        {"20000000000000000000", -1, 0, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t value = -1;
        const char *end = nullptr;
        EXPECT_EQ(c.count, text_to_int64(c.text, &value, &end));
        EXPECT_EQ(c.value, value);
        if (c.rest) {
            EXPECT_STREQ(c.rest, end);
        }
    }
}
