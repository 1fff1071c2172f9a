#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/support/store_env.h"
#include "util/text.h"

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { store_env_reset(); }
    void TearDown() override { store_env_cleanup(); }
};

// Stores raw bytes with any type under the Kestrel key, as another program might.
void store_raw(const char *name, uint32_t type, const void *data, uint32_t size)
{
    RegistryKey key;
    ASSERT_EQ(REGISTRY_OK,
              platform_registry_create(REGISTRY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key));
    ASSERT_EQ(REGISTRY_OK, platform_registry_set(key, name, type, data, size));
    platform_registry_close(key);
}

struct Stored {
    int status;
    uint32_t type;
    std::string bytes;
};

Stored query_raw(const char *name)
{
    Stored s{-1, 0, std::string()};
    RegistryKey key;
    s.status = platform_registry_open(REGISTRY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key);
    if (s.status != REGISTRY_OK)
        return s;
    char buf[2048];
    uint32_t size = sizeof buf;
    s.status = platform_registry_query(key, name, buf, &size, &s.type);
    if (s.status == REGISTRY_OK)
        s.bytes.assign(buf, size);
    platform_registry_close(key);
    return s;
}

std::string dword_bytes(uint32_t v)
{
    return std::string{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)};
}

}  // namespace

TEST_F(SettingsTest, LoadWithoutKeyGivesDefaultsAndCreatesNothing)
{
    memset(&g_settings, 0x5a, sizeof g_settings);
    settings_load();
    EXPECT_STREQ("", g_settings.EMailAddress);
    EXPECT_STREQ("", g_settings.DefaultDir);
    EXPECT_STREQ("", g_settings.ProxyHost);
    EXPECT_EQ(21, g_settings.FtpCtrlPort);
    EXPECT_EQ(2, g_settings.PassiveMode);
    EXPECT_EQ(0, g_settings.ProxyType);
    EXPECT_EQ(21, g_settings.ProxyPort);
    EXPECT_EQ(0, g_settings.ResumeGetMode);
    EXPECT_EQ(300, g_settings.Timeout);
    EXPECT_EQ(1, g_settings.Connections);
    EXPECT_EQ(1, g_settings.TlsVerify);
    EXPECT_STREQ("", g_settings.TlsCaFile);
    EXPECT_EQ(1, g_settings.UseMLSD);
    EXPECT_STREQ("", g_settings.ServerCharset);
    EXPECT_TRUE(store_env_untouched());
}

// The TLS values are set outside the dialog: read with the others, and left as they are
// by a save of what the dialog edits.
TEST_F(SettingsTest, TlsValuesAreReadAndNeverOverwritten)
{
    const struct {
        const char *name;
        uint32_t type;
        std::string bytes;
    } stored[] = {
        {"TlsVerify", REGISTRY_TYPE_DWORD, dword_bytes(0)},
        {"TlsCaFile", REGISTRY_TYPE_SZ, std::string("C:\\certs\\roots.pem", 19)},
    };
    for (const auto &v : stored)
        store_raw(v.name, v.type, v.bytes.data(), (uint32_t)v.bytes.size());
    memset(&g_settings, 0x5a, sizeof g_settings);
    settings_load();
    EXPECT_EQ(0, g_settings.TlsVerify);
    EXPECT_STREQ("C:\\certs\\roots.pem", g_settings.TlsCaFile);
    g_settings.TlsVerify = 1;
    g_settings.TlsCaFile[0] = '\0';
    ASSERT_EQ(0, settings_save());
    for (const auto &v : stored) {
        Stored s = query_raw(v.name);
        ASSERT_EQ(REGISTRY_OK, s.status) << v.name;
        EXPECT_EQ(v.bytes, s.bytes) << v.name;
    }
}

TEST_F(SettingsTest, SaveOfDefaultsWritesEveryValueWithItsType)
{
    settings_load();
    ASSERT_EQ(0, settings_save());
    const struct {
        const char *name;
        uint32_t type;
        std::string bytes;
    } expected[] = {
        {"EMailAddress", REGISTRY_TYPE_SZ, std::string(1, '\0')},
        {"DefaultDir", REGISTRY_TYPE_SZ, std::string(1, '\0')},
        {"FtpCtrlPort", REGISTRY_TYPE_DWORD, dword_bytes(21)},
        {"PassiveMode", REGISTRY_TYPE_DWORD, dword_bytes(2)},
        {"ProxyType", REGISTRY_TYPE_DWORD, dword_bytes(0)},
        {"ProxyPort", REGISTRY_TYPE_DWORD, dword_bytes(21)},
        {"ProxyHost", REGISTRY_TYPE_SZ, std::string(1, '\0')},
        {"ResumeGetMode", REGISTRY_TYPE_DWORD, dword_bytes(0)},
        {"Timeout", REGISTRY_TYPE_DWORD, dword_bytes(300)},
        {"Connections", REGISTRY_TYPE_DWORD, dword_bytes(1)},
        {"UseMLSD", REGISTRY_TYPE_DWORD, dword_bytes(1)},
        {"ServerCharset", REGISTRY_TYPE_SZ, std::string(1, '\0')},
    };
    for (const auto &e : expected) {
        Stored s = query_raw(e.name);
        ASSERT_EQ(REGISTRY_OK, s.status) << e.name;
        EXPECT_EQ(e.type, s.type) << e.name;
        EXPECT_EQ(e.bytes, s.bytes) << e.name;
    }
}

TEST_F(SettingsTest, EveryFieldSurvivesSaveAndLoadUnchecked)
{
    settings_load();
    text_copy(g_settings.EMailAddress, sizeof g_settings.EMailAddress, "me@example.org");
    text_copy(g_settings.DefaultDir, sizeof g_settings.DefaultDir, "C:\\Down \"loads\"\\");
    text_copy(g_settings.ProxyHost, sizeof g_settings.ProxyHost, "127.0.0.2");
    g_settings.FtpCtrlPort = 0;  // stored as given: users of the value judge it
    g_settings.PassiveMode = 7;
    g_settings.ProxyType = 3;
    g_settings.ProxyPort = -1;
    g_settings.ResumeGetMode = 1;
    g_settings.Timeout = 0;  // no limit
    g_settings.Connections = 4;
    g_settings.UseMLSD = 0;
    text_copy(g_settings.ServerCharset, sizeof g_settings.ServerCharset, "Shift_JIS");
    Settings saved = g_settings;
    ASSERT_EQ(0, settings_save());
    memset(&g_settings, 0, sizeof g_settings);
    settings_load();
    EXPECT_STREQ(saved.EMailAddress, g_settings.EMailAddress);
    EXPECT_STREQ(saved.DefaultDir, g_settings.DefaultDir);
    EXPECT_STREQ(saved.ProxyHost, g_settings.ProxyHost);
    EXPECT_EQ(0, g_settings.FtpCtrlPort);
    EXPECT_EQ(7, g_settings.PassiveMode);
    EXPECT_EQ(3, g_settings.ProxyType);
    EXPECT_EQ(-1, g_settings.ProxyPort);
    EXPECT_EQ(1, g_settings.ResumeGetMode);
    EXPECT_EQ(0, g_settings.Timeout);
    EXPECT_EQ(4, g_settings.Connections);
    EXPECT_EQ(0, g_settings.UseMLSD);
    EXPECT_STREQ("Shift_JIS", g_settings.ServerCharset);
}

TEST_F(SettingsTest, TextsLongerThanTheReadLimitComeBackEmpty)
{
    const struct {
        size_t length;
        bool survives;
    } cases[] = {{298, true}, {299, true}, {300, false}, {998, false}};
    for (const auto &c : cases) {
        settings_load();
        std::string dir(c.length, 'd');
        memcpy(g_settings.DefaultDir, dir.c_str(), dir.size() + 1);
        text_copy(g_settings.EMailAddress, sizeof g_settings.EMailAddress, "kept@example.org");
        ASSERT_EQ(0, settings_save());
        Stored s = query_raw("DefaultDir");
        EXPECT_EQ(c.length + 1, s.bytes.size()) << "saved whole: " << c.length;
        settings_load();
        EXPECT_EQ(c.survives ? dir : std::string(), g_settings.DefaultDir) << c.length;
        EXPECT_STREQ("kept@example.org", g_settings.EMailAddress) << c.length;
    }
}

TEST_F(SettingsTest, NumbersAreAnyFourStoredBytesWhateverTheirType)
{
    const struct {
        uint32_t type;
        std::string bytes;
        int32_t port;
    } cases[] = {
        {REGISTRY_TYPE_DWORD, dword_bytes(2121), 2121},
        {REGISTRY_TYPE_SZ, std::string("2121", 5), 21},  // five bytes do not fit
        {REGISTRY_TYPE_SZ, std::string("212", 4), 0x00323132},
        {REGISTRY_TYPE_BINARY, dword_bytes(0xfffffffe), -2},
        {REGISTRY_TYPE_BINARY, std::string("\x01\x02", 2), 21},  // too short: default
        {REGISTRY_TYPE_BINARY, std::string(), 21},
        {REGISTRY_TYPE_QWORD, std::string(8, '\1'), 21},
    };
    for (const auto &c : cases) {
        store_raw("FtpCtrlPort", c.type, c.bytes.data(), (uint32_t)c.bytes.size());
        settings_load();
        EXPECT_EQ(c.port, g_settings.FtpCtrlPort) << "type " << c.type << " size " << c.bytes.size();
        EXPECT_EQ(21, g_settings.ProxyPort);
    }
}

TEST_F(SettingsTest, TextsAreTheStoredBytesUpToTheLimitAlwaysTerminated)
{
    const struct {
        uint32_t type;
        std::string bytes;
        const char *text;
    } cases[] = {
        {REGISTRY_TYPE_SZ, std::string("abc", 4), "abc"},
        {REGISTRY_TYPE_SZ, std::string("abc", 3), "abc"},  // no terminator stored
        {REGISTRY_TYPE_SZ, std::string(), ""},
        {REGISTRY_TYPE_BINARY, std::string("a\0b", 3), "a"},
        {REGISTRY_TYPE_DWORD, dword_bytes(0x41), "A"},
        {REGISTRY_TYPE_EXPAND_SZ, std::string(299, 'x') + '\0', nullptr},  // 300 bytes: fits
        {REGISTRY_TYPE_SZ, std::string(299, 'x'), nullptr},                // 299, no NUL: fits
        {REGISTRY_TYPE_SZ, std::string(300, 'x'), "default"},  // the NUL would not fit
        {REGISTRY_TYPE_SZ, std::string(300, 'x') + '\0', "default"},
    };
    for (const auto &c : cases) {
        store_raw("EMailAddress", c.type, c.bytes.data(), (uint32_t)c.bytes.size());
        RegistryKey key;
        ASSERT_EQ(REGISTRY_OK, registry_open_key(SETTINGS_KEY_PATH, &key));
        char buf[SETTINGS_TEXT_SIZE];
        memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(buf, registry_read_string(key, "EMailAddress", buf, SETTINGS_READ_LIMIT, "default"));
        std::string want = c.text != nullptr ? c.text : std::string(299, 'x');
        EXPECT_EQ(want, buf) << "type " << c.type << " size " << c.bytes.size();
        EXPECT_EQ('Z', buf[SETTINGS_READ_LIMIT]) << "written past the limit";
        EXPECT_EQ(nullptr, registry_read_string(key, "Missing", buf, SETTINGS_READ_LIMIT, nullptr));
        registry_close_key(key);
    }
}

TEST_F(SettingsTest, KeyAndValueNamesCompareWithoutCase)
{
    RegistryKey key;
    ASSERT_EQ(REGISTRY_OK,
              platform_registry_create(REGISTRY_CURRENT_USER, "SOFTWARE\\vizivazuvod\\Kestrel", &key));
    int32_t port = 990;
    ASSERT_EQ(REGISTRY_OK, platform_registry_set(key, "ftpctrlport", REGISTRY_TYPE_DWORD, &port, 4));
    platform_registry_close(key);
    settings_load();
    EXPECT_EQ(990, g_settings.FtpCtrlPort);
    ASSERT_EQ(0, settings_save());
    Stored s = query_raw("FTPCTRLPORT");
    EXPECT_EQ(dword_bytes(990), s.bytes);
}

TEST_F(SettingsTest, SaveKeepsOtherValuesOfTheKey)
{
    store_raw("Colour", REGISTRY_TYPE_SZ, "blue", 5);
    store_raw("Blob", REGISTRY_TYPE_BINARY, "\x00\xff\x10", 3);
    settings_load();
    g_settings.ResumeGetMode = 1;
    ASSERT_EQ(0, settings_save());
    EXPECT_EQ(std::string("blue", 5), query_raw("Colour").bytes);
    Stored blob = query_raw("Blob");
    EXPECT_EQ(REGISTRY_TYPE_BINARY, blob.type);
    EXPECT_EQ(std::string("\x00\xff\x10", 3), blob.bytes);
    EXPECT_EQ(dword_bytes(1), query_raw("ResumeGetMode").bytes);
}

TEST(RegistryPath, RootsAndSubkeysAreFoundByPlainPrefix)
{
    const struct {
        const char *path;
        RegistryKey root;
        const char *subkey;
    } cases[] = {
        {"HKEY_CLASSES_ROOT\\a", REGISTRY_CLASSES_ROOT, "a"},
        {"HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL", REGISTRY_CURRENT_USER,
         "Software\\VizivazuVOD\\KESTREL"},
        {"HKEY_LOCAL_MACHINE\\", REGISTRY_LOCAL_MACHINE, ""},
        {"HKEY_USERS\\x\\y", REGISTRY_USERS, "x\\y"},
        {"HKEY_USERSX\\a", REGISTRY_USERS, "a"},
        {"HKEY_CURRENT_USER", REGISTRY_CURRENT_USER, nullptr},
        {"hkey_current_user\\Software", 0, "Software"},
        {"HKEY_CURRENT_CONFIG\\Software", 0, "Software"},
        {"Software\\VizivazuVOD", 0, "VizivazuVOD"},
        {"", 0, nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.root, registry_root_from_name(c.path)) << c.path;
        const char *sub = registry_subkey(c.path);
        if (c.subkey == nullptr)
            EXPECT_EQ(nullptr, sub) << c.path;
        else
            EXPECT_STREQ(c.subkey, sub) << c.path;
    }
    EXPECT_EQ(0u, registry_root_from_name(nullptr));
    EXPECT_EQ(nullptr, registry_subkey(nullptr));
}

TEST_F(SettingsTest, BadKeyPathsOpenNothingAndTouchNoStore)
{
    const char *paths[] = {
        "Software\\VizivazuVOD\\KESTREL",
        "HKEY_CURRENT_USER",
        "HKEY_CURRENT_USER/Software/VizivazuVOD/KESTREL",
        "hkey_current_user\\Software\\VizivazuVOD\\KESTREL",
        "HKEY_CURRENT_CONFIG\\Software\\VizivazuVOD\\KESTREL",
        "",
    };
    for (const char *p : paths) {
        RegistryKey key = 12345;
        EXPECT_EQ(-1, registry_open_key(p, &key)) << p;
        EXPECT_EQ(-1, registry_create_key(p, &key)) << p;
        EXPECT_EQ(12345u, key) << p;
    }
    EXPECT_TRUE(store_env_untouched());
}
