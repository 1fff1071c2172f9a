#include "command/output.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int GUARD = 16;
const unsigned char GUARD_BYTE = 0xA5;

// The caller's area with guard bytes on both sides, pre-filled with foreign text so
// that the zero-fill at creation is visible too.
struct GuardedArea {
    std::vector<unsigned char> raw;
    int size;
    explicit GuardedArea(int n) : raw(n + 2 * GUARD, GUARD_BYTE), size(n)
    {
        memset(area(), 'Z', n);
    }
    unsigned char *area() { return raw.data() + GUARD; }
    std::string text() const { return std::string((const char *)raw.data() + GUARD, size); }
    bool guards_intact() const
    {
        for (int i = 0; i < GUARD; i++)
            if (raw[i] != GUARD_BYTE || raw[GUARD + size + i] != GUARD_BYTE)
                return false;
        return true;
    }
};

struct Step {
    std::string bytes;
    int result;
};

}  // namespace

TEST(OutputAppend, CutsAtCapacityAndRefusesOnceFull)
{
    struct Case {
        int capacity;
        std::vector<Step> steps;
        std::string area;  // every byte of the caller's area afterwards
    } cases[] = {
        {0, {{"abc", OUTPUT_FULL}, {"", OUTPUT_FULL}}, ""},
        {100, {}, std::string(100, '\0')},  // foreign text cleared even with no output
        {1, {{"ab", 1}, {"c", OUTPUT_FULL}}, "a"},
        {10, {{"hello ", 6}, {"world", 4}, {"!", OUTPUT_FULL}}, "hello worl"},
        {5, {{"abc", 3}, {"", 0}, {"de", 2}, {"f", OUTPUT_FULL}}, "abcde"},
        {5, {{"abcde", 5}, {"", OUTPUT_FULL}}, "abcde"},
        {8, {{"ab", 2}}, std::string("ab\0\0\0\0\0\0", 8)},  // terminated while not full
        {6, {{std::string("a\0b", 3), 3}, {std::string("\0\xff", 2), 2}},
         std::string("a\0b\0\xff\0", 6)},  // bytes, not text
    };
    for (const Case &c : cases) {
        GuardedArea g(c.capacity);
        OutputBuffer *out = output_create(g.area(), c.capacity);
        ASSERT_NE(nullptr, out);
        for (const Step &s : c.steps)
            EXPECT_EQ(s.result, output_append(out, s.bytes.data(), (int)s.bytes.size()))
                << "capacity " << c.capacity << " appending " << s.bytes;
        output_destroy(out);
        EXPECT_EQ(c.area, g.text()) << "capacity " << c.capacity;
        EXPECT_TRUE(g.guards_intact()) << "capacity " << c.capacity;
    }
}

TEST(OutputAppend, OddRequestsTakeNothingAndOverrunNothing)
{
    GuardedArea g(10);
    OutputBuffer *out = output_create(g.area(), 10);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0, output_append(out, "abc", -1));
    EXPECT_EQ(0, output_append(out, nullptr, 3));
    EXPECT_EQ(0, output_append_text(nullptr, out));
    EXPECT_EQ(5, output_append(out, "01234", 5));
    // A count near INT_MAX must be cut to the room left, not overflow into a huge copy.
    EXPECT_EQ(5, output_append(out, "56789", INT_MAX));
    EXPECT_EQ(OUTPUT_FULL, output_append(out, "x", 1));
    output_destroy(out);
    EXPECT_EQ("0123456789", g.text());
    EXPECT_TRUE(g.guards_intact());
    EXPECT_EQ(OUTPUT_FULL, output_append(nullptr, "x", 1));
}

TEST(OutputCreate, OwnAreaAndRefusedSizes)
{
    EXPECT_EQ(nullptr, output_create(nullptr, -1));
    GuardedArea g(4);
    EXPECT_EQ(nullptr, output_create(g.area(), -5));
    EXPECT_EQ(std::string(4, 'Z'), g.text());

    OutputBuffer *none = output_create(nullptr, 0);
    ASSERT_NE(nullptr, none);
    EXPECT_EQ(OUTPUT_FULL, output_append_text("a", none));
    output_destroy(none);

    OutputBuffer *own = output_create(nullptr, 4);
    ASSERT_NE(nullptr, own);
    EXPECT_EQ(0, own->borrowed);
    EXPECT_EQ(3, output_append_text("abc", own));
    EXPECT_EQ(0, memcmp(own->bytes, "abc", 4));  // zero-filled behind the text
    EXPECT_EQ(1, output_append_text("de", own));
    output_destroy(own);  // the sanitizer build checks that the own area is released
}

TEST(OutputPrintf, FormatsIntoTheAreaAndCutsAtCapacity)
{
    struct Case {
        int capacity;
        std::string area;
    } cases[] = {
        {0, ""},
        {3, "Ope"},
        {24, "Opening URL[ftp://h:21/]"},
        {40, std::string("Opening URL[ftp://h:21/]\n#7 -3 (null)\0\0\0", 40)},
    };
    for (const Case &c : cases) {
        GuardedArea g(c.capacity);
        OutputBuffer *out = output_create(g.area(), c.capacity);
        ASSERT_NE(nullptr, out);
        output_printf(out, "Opening URL[%s]\n", "ftp://h:21/");
        const char *none = nullptr;
        output_printf(out, "#%d %d %s", 7, -3, none);
        output_destroy(out);
        EXPECT_EQ(c.area, g.text()) << "capacity " << c.capacity;
        EXPECT_TRUE(g.guards_intact()) << "capacity " << c.capacity;
    }
}

TEST(OutputPrintf, PieceLongerThanTheWorkAreaIsCutNotOverrun)
{
    std::string name(OUTPUT_FORMAT_SIZE * 2, 'n');
    GuardedArea g(OUTPUT_FORMAT_SIZE * 3);
    OutputBuffer *out = output_create(g.area(), g.size);
    ASSERT_NE(nullptr, out);
    output_printf(out, "[%s]", name.c_str());
    EXPECT_EQ(OUTPUT_FORMAT_SIZE - 1, out->used);
    output_printf(out, "%s", "tail");
    EXPECT_EQ(OUTPUT_FORMAT_SIZE + 3, out->used);
    output_destroy(out);
    std::string expected = "[" + std::string(OUTPUT_FORMAT_SIZE - 2, 'n') + "tail";
    EXPECT_EQ(expected, g.text().substr(0, expected.size()));
    EXPECT_TRUE(g.guards_intact());
}
