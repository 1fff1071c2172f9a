#include "command/arguments.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::string> Tokens;

// Takes the list apart, checks that it is laid out as one block (the pointer array,
// then the texts behind it) and releases it.
Tokens take(char **list)
{
    Tokens tokens;
    if (list == nullptr)
        return tokens;
    int count = argument_count(list);
    const char *texts = (const char *)(list + count + 1);
    const char *expected = texts;
    for (int i = 0; i < count; i++) {
        EXPECT_EQ(expected, list[i]) << "text " << i << " is not packed in order";
        tokens.push_back(list[i]);
        expected = list[i] + tokens.back().size() + 1;
    }
    release_argument_list(list);
    return tokens;
}

std::string show(const Tokens &tokens)
{
    std::string s;
    for (const std::string &t : tokens)
        s += "<" + t + ">";
    return s;
}

}  // namespace

TEST(Tokenize, QuotesBlanksAndDoubleByteCharacters)
{
    struct Case {
        const char *line;
        Tokens tokens;
    } cases[] = {
        {"", {}},
        {" \t\r\n\v\f", {}},
        {"  -x   ftp://h/f\r\n", {"-x", "ftp://h/f"}},
        {"a\tb\nc", {"a", "b", "c"}},
        {"ab\"c d\"e", {"abc de"}},
        {"\"\"", {""}},
        {"a \"\" b", {"a", "", "b"}},
        {"\"a b", {"a b"}},                 // an open quote runs to the end
        {"\"a b\"\"\"c \"\"\"\"", {"a bc", ""}},
        {"a\\\"b c\" d", {"a\\b c", "d"}},  // backslash has no meaning
        {"@\"x y\"", {"@x y"}},
        // Shift_JIS: ideographic space (81 40) is a character, not white space; 83 5C
        // keeps its trail byte; 81 81 pairs and the 40 after it stands alone.
        {"x\x81\x40y z", {"x\x81\x40y", "z"}},
        {"\x83\x5C \x95\x5C", {"\x83\x5C", "\x95\x5C"}},
        {"\x81\x81\x40", {"\x81\x81\x40"}},
        // A quote or blank is never a trail byte: after a lead byte it keeps its meaning.
        {"\x81\"a b\"", {"\x81" "a b"}},
        {"\x81 b", {"\x81", "b"}},
        {"\xE0\t\xFC", {"\xE0", "\xFC"}},
        {"a\x81", {"a\x81"}},           // lead byte at the very end: no read past it
        {"\"\x81\"", {"\x81"}},
        {"\xA0\xDF \x80\xFD\xFF", {"\xA0\xDF", "\x80\xFD\xFF"}},  // single-byte high bytes
    };
    for (const Case &c : cases)
        EXPECT_EQ(show(c.tokens), show(take(tokenize_command_line(c.line)))) << c.line;
    EXPECT_EQ(0, argument_count(nullptr));
    EXPECT_EQ("", show(take(tokenize_command_line(nullptr))));
}

TEST(Tokenize, LongTokensAcrossGrowthBoundariesAndManyTokens)
{
    // Lengths around the first growth step, ending in a double-byte character, so that
    // a wrong margin would write past the token buffer (caught by the sanitizer build).
    for (size_t length = 4086; length <= 4100; length++) {
        std::string token = std::string(length - 2, 'a') + "\x82\xA0";
        std::string line = "\"" + token.substr(0, 10) + "\"" + token.substr(10) + " next";
        EXPECT_EQ(show({token, "next"}), show(take(tokenize_command_line(line.c_str()))))
            << length;
    }
    std::string huge(100000, 'q');
    EXPECT_EQ(show({huge}), show(take(tokenize_command_line(huge.c_str()))));

    std::string many;
    for (int i = 0; i < 20000; i++)
        many += std::to_string(i) + " ";
    Tokens tokens = take(tokenize_command_line(many.c_str()));
    ASSERT_EQ(20000u, tokens.size());
    EXPECT_EQ("0", tokens.front());
    EXPECT_EQ("19999", tokens.back());
}

class ResponseFiles : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        const char *parent = getenv("KESTREL_TEST_TMP");
        fs::path base = parent != nullptr && *parent ? fs::path(parent)
                                                     : fs::temp_directory_path();
        long long stamp = (long long)std::chrono::steady_clock::now().time_since_epoch().count();
        dir = base / ("kestrel-args-" + std::to_string(stamp) + "-" + std::to_string(rand()));
        fs::create_directories(dir);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string write(const std::string &name, const std::string &bytes)
    {
        fs::path path = dir / name;
        FILE *f = fopen(path.string().c_str(), "wb");
        EXPECT_NE(nullptr, f) << path;
        if (f != nullptr) {
            EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
            fclose(f);
        }
        return path.string();
    }

    // "@path" written between quotes, so the temporary folder's name may hold blanks.
    std::string at(const std::string &name) { return "\"@" + (dir / name).string() + "\""; }
};

TEST_F(ResponseFiles, TokensTakeThePlaceOfTheReference)
{
    write("args.txt", "-x\nftp://h/f\n");
    write("crlf.txt", "\"one\r\ntwo\" three\r\n");
    write("empty.txt", "");
    write("nested.txt", "-l @inner.txt");
    write("inner.txt", "should-not-appear");
    write("sjis.txt", "\x83\x5C\x83\x74\x83\x67 \"a \x81\x40 b\"");
    struct Case {
        std::string line;
        Tokens tokens;
    } cases[] = {
        {at("args.txt"), {"-x", "ftp://h/f"}},
        {"-i " + at("args.txt") + " a.txt", {"-i", "-x", "ftp://h/f", "a.txt"}},
        {at("crlf.txt"), {"one\r\ntwo", "three"}},
        {"a " + at("empty.txt") + " b", {"a", "b"}},
        {at("nested.txt"), {"-l", "@inner.txt"}},  // read once, not again
        {at("args.txt") + " " + at("args.txt"), {"-x", "ftp://h/f", "-x", "ftp://h/f"}},
        {at("sjis.txt"), {"\x83\x5C\x83\x74\x83\x67", "a \x81\x40 b"}},
        {"x@" + (dir / "args.txt").string(), {"x@" + (dir / "args.txt").string()}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(show(c.tokens), show(take(split_command_line(c.line.c_str())))) << c.line;
    EXPECT_EQ(show({"-x", "a b"}), show(take(split_command_line("-x \"a b\""))));
}

TEST_F(ResponseFiles, UnreadableReferenceFailsTheWholeSplit)
{
    write("good.txt", "-x ftp://h/f");
    write("nul.txt", std::string("-x\0ftp://h/f", 12));
    write("utf16.txt", std::string("\xFF\xFE-\0x\0", 6));
    fs::create_directories(dir / "folder");
    const std::string lines[] = {
        at("missing.txt"),
        "-x " + at("good.txt") + " " + at("missing.txt"),
        "@",
        "\"@\"",
        at("folder"),
        at("nul.txt"),
        at("utf16.txt"),
    };
    for (const std::string &line : lines)
        EXPECT_EQ(nullptr, split_command_line(line.c_str())) << line;
}

TEST_F(ResponseFiles, ReadWholeFileGivesExactBytes)
{
    std::string bytes("a\0b\r\n\xFF", 6);
    std::string path = write("raw.bin", bytes);
    size_t length = 0;
    char *content = read_whole_file(path.c_str(), &length);
    ASSERT_NE(nullptr, content);
    EXPECT_EQ(bytes, std::string(content, length));
    EXPECT_EQ('\0', content[length]);
    free(content);

    EXPECT_EQ(nullptr, read_whole_file((dir / "absent").string().c_str(), &length));
    EXPECT_EQ(nullptr, read_whole_file(dir.string().c_str(), &length));
    EXPECT_EQ(nullptr, read_whole_file(nullptr, &length));
}

TEST(ResponseDevice, DeviceIsNoResponseFile)
{
    // A device (or a pipe, which would block) has no size to trust.
    std::error_code error;
    if (!fs::is_character_file("/dev/null", error))
        GTEST_SKIP() << "no /dev/null character device on this system";
    EXPECT_EQ(nullptr, read_whole_file("/dev/null", nullptr));
    EXPECT_EQ(nullptr, split_command_line("-x @/dev/null"));
}
