// The registry-format codec on its own: what a text reads as, what the writer makes of
// keys and values, and which texts are refused. Runs on both targets.
#include "config/registry_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"

namespace {

const char kKey[] = "HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL";

std::string bytes(const char *text, size_t length)
{
    return std::string(text, length);
}

}  // namespace

TEST(RegistryFileCodec, WrittenTextReadsBackToTheSameKeysAndBytes)
{
    RegistryFile file;
    file.preamble.push_back("; kept before the first key");
    ASSERT_EQ(1, registry_file_add_key(&file, kKey));
    struct Value {
        const char *name;
        uint32_t type;
        std::string data;
        const char *line;
    } values[] = {
        {"Text", REGISTRY_TYPE_SZ, bytes("a \"q\" \\ b\0", 10), "\"Text\"=\"a \\\"q\\\" \\\\ b\""},
        {"Port", REGISTRY_TYPE_DWORD, bytes("\x15\0\0\0", 4), "\"Port\"=dword:00000015"},
        {"Blob", REGISTRY_TYPE_BINARY, bytes("\x01\x02\xff", 3), "\"Blob\"=hex:01,02,ff"},
        {"Path", REGISTRY_TYPE_EXPAND_SZ, bytes("%\0", 2), "\"Path\"=hex(2):25,00"},
        {"NoEnd", REGISTRY_TYPE_SZ, bytes("ab", 2), "\"NoEnd\"=hex(1):61,62"},
        {"Break", REGISTRY_TYPE_SZ, bytes("a\nb\0", 4), "\"Break\"=hex(1):61,0a,62,00"},
        {"Short", REGISTRY_TYPE_DWORD, bytes("\x01\x02", 2), "\"Short\"=hex(4):01,02"},
        {"", REGISTRY_TYPE_SZ, bytes("default\0", 8), "@=\"default\""},
    };
    for (const Value &v : values)
        ASSERT_EQ(1, registry_file_set_value(&file, kKey, v.name, v.type, v.data)) << v.name;

    std::string text = registry_file_format(file);
    std::string expected = "REGEDIT4\n; kept before the first key\n\n"
                           "[HKEY_CURRENT_USER\\Software]\n\n"
                           "[HKEY_CURRENT_USER\\Software\\VizivazuVOD]\n\n[" +
                           std::string(kKey) + "]\n";
    for (const Value &v : values)
        expected += std::string(v.line) + "\n";
    expected += "\n";
    EXPECT_EQ(expected, text);

    RegistryFile back;
    ASSERT_EQ(0, registry_file_parse(text, &back));
    RegistryFileSection *section = registry_file_section(&back, "hkey_current_user\\SOFTWARE\\vizivazuvod\\kestrel");
    ASSERT_NE(nullptr, section);
    for (const Value &v : values) {
        RegistryFileValue *got = registry_file_value(section, v.name);
        ASSERT_NE(nullptr, got) << v.name;
        EXPECT_EQ(v.type, got->type) << v.name;
        EXPECT_EQ(v.data, got->data) << v.name;
    }
    EXPECT_EQ(text, registry_file_format(back));
    // Storing what is there already changes nothing.
    EXPECT_EQ(0, registry_file_set_value(&back, kKey, "port", REGISTRY_TYPE_DWORD, bytes("\x15\0\0\0", 4)));
    EXPECT_EQ(-1, registry_file_set_value(&back, "HKEY_USERS\\missing", "x", REGISTRY_TYPE_SZ, ""));
}

TEST(RegistryFileCodec, LongHexListsWrapAndContinue)
{
    RegistryFile file;
    std::string data(100, '\x5a');
    registry_file_add_key(&file, "HKEY_USERS\\k");
    registry_file_set_value(&file, "HKEY_USERS\\k", "Long", REGISTRY_TYPE_BINARY, data);
    std::string text = registry_file_format(file);
    size_t longest = 0, start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        longest = std::max(longest, nl - start);
    EXPECT_LE(longest, 80u);
    EXPECT_NE(std::string::npos, text.find(",\\\n  5a"));
    RegistryFile back;
    ASSERT_EQ(0, registry_file_parse(text, &back));
    EXPECT_EQ(data, registry_file_value(registry_file_section(&back, "HKEY_USERS\\k"), "Long")->data);
}

TEST(RegistryFileCodec, TextsOutsideTheFormatAreRefused)
{
    const char *texts[] = {
        "",
        "REGEDIT5\n",
        "REGEDIT4\n\"Before\"=\"any key\"\n",
        "REGEDIT4\n[-HKEY_USERS\\deleted]\n",
        "REGEDIT4\n[HKEY_USERS\\open\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Bad\"=\"a\\x\"\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Open\"=\"no end\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Wide\"=dword:000000001\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Hex\"=hex:01,2g\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Gone\"=-\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"Cont\"=hex:01,\\\n",
        "REGEDIT4\n[HKEY_USERS\\k]\n\"\"=\"an empty name is spelled @\"\n",
        "REGEDIT4\n[HKEY_USERS\\k]\nstray words\n",
    };
    for (const char *text : texts) {
        RegistryFile file;
        EXPECT_EQ(-1, registry_file_parse(text, &file)) << text;
    }
}

TEST(RegistryFileCodec, LooseSpellingsAndRepeatsReadAsAnImportWould)
{
    RegistryFile file;
    ASSERT_EQ(0, registry_file_parse("REGEDIT4\r\n\r\n[HKEY_USERS\\k]\r\n"
                                     "  \"A\" = dword:1f  \r\n"
                                     "\"B\"=hex:01,\\\r\n    02\r\n"
                                     "; a note\r\n"
                                     "\"a\"=\"later wins\"\r\n"
                                     "[HKEY_USERS\\k\\below]\r\n",
                                     &file));
    RegistryFileSection *section = registry_file_section(&file, "HKEY_USERS\\K");
    ASSERT_NE(nullptr, section);
    ASSERT_EQ(3u, section->values.size());
    EXPECT_EQ(REGISTRY_TYPE_SZ, section->values[0].type);
    EXPECT_EQ(bytes("later wins\0", 11), section->values[0].data);
    EXPECT_EQ(bytes("\x01\x02", 2), section->values[1].data);
    EXPECT_EQ(1, section->values[2].comment);
    EXPECT_EQ(1, registry_file_key_exists(file, "HKEY_USERS"));
    EXPECT_EQ(1, registry_file_key_exists(file, "HKEY_USERS\\k"));
    EXPECT_EQ(0, registry_file_key_exists(file, "HKEY_USERS\\kk"));
    EXPECT_EQ(1, registry_file_key_exists(file, "HKEY_USERS\\K\\BELOW"));
    // A key whose parents a hand-written file left out gets their sections when made.
    RegistryFile sparse;
    ASSERT_EQ(0, registry_file_parse("REGEDIT4\n[HKEY_USERS\\a\\b\\c]\n", &sparse));
    EXPECT_EQ(1, registry_file_key_exists(sparse, "HKEY_USERS\\a"));
    EXPECT_EQ(1, registry_file_add_key(&sparse, "HKEY_USERS\\a\\b\\c"));
    EXPECT_EQ("REGEDIT4\n\n[HKEY_USERS\\a\\b\\c]\n\n[HKEY_USERS\\a]\n\n[HKEY_USERS\\a\\b]\n\n",
              registry_file_format(sparse));
    EXPECT_EQ(0, registry_file_add_key(&sparse, "HKEY_USERS\\a\\b"));
}
