// The Linux store: what lands in the file, what survives a save, and what a bad file or
// two processes at once do to it.
#include "config/settings.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/store_env.h"
#include "tests/support/transfer_support.h"
#include "util/text.h"

namespace {

using xfer::read_file;

// The store's file, written by hand into folders as private as the store makes them.
void write_file(const std::string &path, const std::string &text)
{
    std::string dir = path.substr(0, path.rfind('/'));
    std::string parent = dir.substr(0, dir.rfind('/'));
    mkdir(parent.c_str(), 0700);
    mkdir(dir.c_str(), 0700);
    xfer::write_file(path, text);
}

std::vector<std::string> folder_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string folder_of(const std::string &file)
{
    return file.substr(0, file.rfind('/'));
}

struct Raw {
    int status;
    uint32_t type;
    std::string bytes;
};

Raw query(RegistryKey root, const char *subkey, const char *name)
{
    Raw r{-1, 0, std::string()};
    RegistryKey key;
    r.status = platform_registry_open(root, subkey, &key);
    if (r.status != REGISTRY_OK)
        return r;
    char buf[4096];
    uint32_t size = sizeof buf;
    r.status = platform_registry_query(key, name, buf, &size, &r.type);
    if (r.status == REGISTRY_OK)
        r.bytes.assign(buf, size);
    platform_registry_close(key);
    return r;
}

const char kDefaultsSection[] =
    "[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n"
    "\"EMailAddress\"=\"\"\n"
    "\"DefaultDir\"=\"\"\n"
    "\"FtpCtrlPort\"=dword:00000015\n"
    "\"PassiveMode\"=dword:00000002\n"
    "\"ProxyType\"=dword:00000000\n"
    "\"ProxyPort\"=dword:00000015\n"
    "\"ProxyHost\"=\"\"\n"
    "\"ResumeGetMode\"=dword:00000000\n"
    "\"Timeout\"=dword:0000012c\n"
    "\"Connections\"=dword:00000001\n"
    "\"UseMLSD\"=dword:00000001\n\"ServerCharset\"=\"\"\n"
    "\n";

class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        store_env_reset();
        file = store_env_file();
    }
    void TearDown() override { store_env_cleanup(); }
    std::string file;
};

}  // namespace

TEST_F(RegistryFileTest, FirstSaveWritesAPrivateFileInExportFormat)
{
    settings_load();
    ASSERT_EQ(0, settings_save());
    EXPECT_EQ(std::string("REGEDIT4\n\n"
                          "[HKEY_CURRENT_USER\\Software]\n\n"
                          "[HKEY_CURRENT_USER\\Software\\VizivazuVOD]\n\n") +
                  kDefaultsSection,
              read_file(file));
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(folder_of(file).c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(folder_of(folder_of(file)).c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777) << "XDG_CONFIG_HOME made by the store";
    // No temporary file stays behind, only the file and its lock.
    EXPECT_EQ((std::vector<std::string>{"registry.reg", "registry.reg.lock"}),
              folder_entries(folder_of(file)));
}

TEST_F(RegistryFileTest, FolderFollowsXdgConfigHomeElseHome)
{
    std::string home = folder_of(folder_of(file));  // a fresh folder of this test
    const struct {
        const char *xdg;  // null: unset
        std::string expected;
    } cases[] = {
        {nullptr, home + "/.config/kestrel/registry.reg"},
        {"", home + "/.config/kestrel/registry.reg"},
        {"relative/config", home + "/.config/kestrel/registry.reg"},
    };
    std::string old_home = getenv("HOME") != nullptr ? getenv("HOME") : "";
    setenv("HOME", home.c_str(), 1);
    for (const auto &c : cases) {
        if (c.xdg == nullptr)
            unsetenv("XDG_CONFIG_HOME");
        else
            setenv("XDG_CONFIG_HOME", c.xdg, 1);
        settings_load();
        g_settings.ProxyPort = 2100;
        ASSERT_EQ(0, settings_save()) << (c.xdg ? c.xdg : "(unset)");
        EXPECT_NE(std::string::npos, read_file(c.expected).find("\"ProxyPort\"=dword:00000834"))
            << (c.xdg ? c.xdg : "(unset)");
        remove(c.expected.c_str());
    }
    setenv("HOME", old_home.c_str(), 1);
}

TEST_F(RegistryFileTest, SaveKeepsEverythingElseInTheFile)
{
    const std::string before =
        "REGEDIT4\n"
        "; hand-written note\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
        "@=\"default \\\"quoted\\\" C:\\\\dir\\\\\"\n"
        "\"Name \\\"with\\\" quotes\"=\"x\"\n"
        "\"Expand\"=hex(2):25,00,50,00\n"
        "\"Multi\"=hex(7):61,00,62,00,00\n"
        "\"Big\"=hex(b):01,02,03,04,05,06,07,08\n"
        "\"NoNul\"=hex(1):61,62\n"
        "\"Empty\"=hex:\n"
        "\n"
        "[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n"
        "; stays in place\n"
        "\"Colour\"=\"blue\"\n"
        "\"FtpCtrlPort\"=\"2121\"\n"
        "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
        "  16,17,18,19,1a\n"
        "\n"
        "[HKEY_USERS\\.DEFAULT\\Unknown\\Deep]\n"
        "\"n\"=dword:ffffffff\n"
        "\n";
    write_file(file, before);
    settings_load();
    EXPECT_EQ(21, g_settings.FtpCtrlPort) << "a text is no number";
    text_copy(g_settings.EMailAddress, sizeof g_settings.EMailAddress, "a\"b\\c");
    ASSERT_EQ(0, settings_save());
    // Everything stands where it stood; only the key's own values change or join it.
    std::string after = before;
    after.replace(after.find("\"FtpCtrlPort\"=\"2121\""), 20, "\"FtpCtrlPort\"=dword:00000015");
    after.insert(after.find("\n[HKEY_USERS"),
                 "\"EMailAddress\"=\"a\\\"b\\\\c\"\n"
                 "\"DefaultDir\"=\"\"\n"
                 "\"PassiveMode\"=dword:00000002\n"
                 "\"ProxyType\"=dword:00000000\n"
                 "\"ProxyPort\"=dword:00000015\n"
                 "\"ProxyHost\"=\"\"\n"
                 "\"ResumeGetMode\"=dword:00000000\n"
                 "\"Timeout\"=dword:0000012c\n"
                 "\"Connections\"=dword:00000001\n"
                 "\"UseMLSD\"=dword:00000001\n\"ServerCharset\"=\"\"\n");
    after += "[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD]\n\n";
    EXPECT_EQ(after, read_file(file));
    settings_load();
    EXPECT_STREQ("a\"b\\c", g_settings.EMailAddress);
    Raw multi = query(REGISTRY_LOCAL_MACHINE, "Software\\Other", "Multi");
    EXPECT_EQ((uint32_t)REGISTRY_TYPE_MULTI_SZ, multi.type);
    EXPECT_EQ(std::string("a\0b\0\0", 5), multi.bytes);
    EXPECT_EQ(std::string("default \"quoted\" C:\\dir\\", 25),
              query(REGISTRY_LOCAL_MACHINE, "Software\\Other", "").bytes);
}

TEST_F(RegistryFileTest, LooseButValidSpellingsReadTheSame)
{
    write_file(file,
               "REGEDIT4\r\n\r\n"
               "  [hkey_current_user\\software\\vizivazuvod\\kestrel]  \r\n"
               "\"ftpctrlport\" = dword:834\r\n"
               "\"ProxyHost\"=hex(1):41,42,\\\r\n"
               "     43,00\r\n"
               "[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\r\n"
               "\"PassiveMode\"=hex(4):01,00,00,00\r\n"
               "\"ProxyPort\"=dword:00000001\r\n"
               "\"ProxyPort\"=dword:00000002\r\n");
    settings_load();
    EXPECT_EQ(2100, g_settings.FtpCtrlPort);
    EXPECT_STREQ("ABC", g_settings.ProxyHost);
    EXPECT_EQ(1, g_settings.PassiveMode);
    EXPECT_EQ(2, g_settings.ProxyPort) << "the later of two lines wins";
}

TEST_F(RegistryFileTest, UnparseableFileIsNeverRewritten)
{
    const char *files[] = {
        "",
        "REGEDIT5\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n",
        "Windows Registry Editor Version 5.00\n\n",
        "REGEDIT4\n\"Orphan\"=\"value before any key\"\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL\n",
        "REGEDIT4\n\n[-HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"FtpCtrlPort\"=-\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=\"unterminated\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=\"C:\\dir\"\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=dword:123456789\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=dword:\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=hex:1,2g\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=hex:01,\\\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=hex:001\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"A\"=\"x\" trailing\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\nFtpCtrlPort=dword:1\n",
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL]\n\"FtpCtrlPort\"=dword:00000834\n"
        "\"\"=\"empty name\"\n",
    };
    for (const char *text : files) {
        write_file(file, text);
        settings_load();
        EXPECT_EQ(21, g_settings.FtpCtrlPort) << text;
        g_settings.FtpCtrlPort = 2100;
        EXPECT_EQ(-1, settings_save()) << text;
        EXPECT_EQ(text, read_file(file));
        EXPECT_EQ((std::vector<std::string>{"registry.reg", "registry.reg.lock"}),
                  folder_entries(folder_of(file)))
            << text;
    }
}

TEST_F(RegistryFileTest, ValuesKeepTypeAndBytesThroughTheFile)
{
    const struct {
        const char *name;
        uint32_t type;
        std::string bytes;
        const char *line;
    } cases[] = {
        {"Text", REGISTRY_TYPE_SZ, std::string("a\"b\\c", 6), "\"Text\"=\"a\\\"b\\\\c\""},
        {"Q\"\\", REGISTRY_TYPE_SZ, std::string("", 1), "\"Q\\\"\\\\\"=\"\""},
        {"", REGISTRY_TYPE_SZ, std::string("dflt", 5), "@=\"dflt\""},
        {"NoNul", REGISTRY_TYPE_SZ, "ab", "\"NoNul\"=hex(1):61,62"},
        {"ZeroSz", REGISTRY_TYPE_SZ, "", "\"ZeroSz\"=hex(1):"},
        {"Lines", REGISTRY_TYPE_SZ, std::string("a\nb", 4), "\"Lines\"=hex(1):61,0a,62,00"},
        {"Inner", REGISTRY_TYPE_SZ, std::string("a\0b", 4), "\"Inner\"=hex(1):61,00,62,00"},
        {"Dw", REGISTRY_TYPE_DWORD, std::string("\x78\x56\x34\x12", 4), "\"Dw\"=dword:12345678"},
        {"Dw3", REGISTRY_TYPE_DWORD, std::string("\1\2\3", 3), "\"Dw3\"=hex(4):01,02,03"},
        {"Bin", REGISTRY_TYPE_BINARY, std::string("\xff\0", 2), "\"Bin\"=hex:ff,00"},
        {"Odd", 0x12345u, "z", "\"Odd\"=hex(12345):7a"},
        {"None", REGISTRY_TYPE_NONE, "", "\"None\"=hex(0):"},
        {"Eight", 0xe8u, std::string("\x80\x81", 2), "\"Eight\"=hex(e8):80,81"},
    };
    RegistryKey key;
    ASSERT_EQ(REGISTRY_OK, platform_registry_create(REGISTRY_CURRENT_USER, "Software\\T", &key));
    for (const auto &c : cases)
        ASSERT_EQ(REGISTRY_OK,
                  platform_registry_set(key, c.name, c.type, c.bytes.data(), (uint32_t)c.bytes.size()));
    platform_registry_close(key);
    std::string text = read_file(file);
    for (const auto &c : cases) {
        EXPECT_NE(std::string::npos, text.find(std::string("\n") + c.line + "\n")) << c.line;
        Raw r = query(REGISTRY_CURRENT_USER, "software\\t", c.name);
        EXPECT_EQ(REGISTRY_OK, r.status) << c.line;
        EXPECT_EQ(c.type, r.type) << c.line;
        EXPECT_EQ(c.bytes, r.bytes) << c.line;
    }
}

TEST_F(RegistryFileTest, KeysOpenOnlyWhenTheyExist)
{
    write_file(file, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Deep\\Only\\Child]\n\"v\"=\"1\"\n");
    const struct {
        RegistryKey root;
        const char *subkey;
        int status;
    } cases[] = {
        {REGISTRY_CURRENT_USER, "Software\\Deep\\Only\\Child", REGISTRY_OK},
        {REGISTRY_CURRENT_USER, "Software\\Deep", REGISTRY_OK},  // parent implied
        {REGISTRY_CURRENT_USER, "software\\deep\\only\\child\\", REGISTRY_OK},
        {REGISTRY_CURRENT_USER, "Software\\Dee", REGISTRY_ERROR_NOT_FOUND},
        {REGISTRY_CURRENT_USER, "Software\\Deep\\Only\\Child\\More", REGISTRY_ERROR_NOT_FOUND},
        {REGISTRY_LOCAL_MACHINE, "Software\\Deep", REGISTRY_ERROR_NOT_FOUND},
        {REGISTRY_CURRENT_USER, "\\Software", REGISTRY_ERROR_BAD_PATHNAME},
        {REGISTRY_CURRENT_USER, "Software\\\\Deep", REGISTRY_ERROR_BAD_PATHNAME},
        {REGISTRY_CURRENT_USER, "", REGISTRY_OK},
    };
    for (const auto &c : cases) {
        RegistryKey key = 0;
        EXPECT_EQ(c.status, platform_registry_open(c.root, c.subkey, &key)) << c.subkey;
        if (key != 0)
            platform_registry_close(key);
    }
    std::string before = read_file(file);
    RegistryKey key;
    EXPECT_EQ(REGISTRY_ERROR_BAD_PATHNAME,
              platform_registry_create(REGISTRY_CURRENT_USER, "A\\\\B", &key));
    // A line break in a key name would split its section header into two lines.
    for (const char *broken : {"So\nft", "So\rft", "Software\\Deep\\x\ny"}) {
        EXPECT_EQ(REGISTRY_ERROR_INVALID_PARAMETER, platform_registry_create(REGISTRY_CURRENT_USER, broken, &key))
            << broken;
        EXPECT_EQ(REGISTRY_ERROR_INVALID_PARAMETER, platform_registry_open(REGISTRY_CURRENT_USER, broken, &key))
            << broken;
    }
    EXPECT_EQ(before, read_file(file));
}

TEST_F(RegistryFileTest, ConcurrentSaversLoseNothing)
{
    settings_load();
    ASSERT_EQ(0, settings_save());
    const int kWriters = 2, kValues = 25;
    pid_t pids[kWriters];
    for (int w = 0; w < kWriters; w++) {
        pids[w] = fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            int failures = 0;
            for (int i = 0; i < kValues; i++) {
                RegistryKey key;
                if (registry_create_key(SETTINGS_KEY_PATH, &key) != REGISTRY_OK) {
                    failures++;
                    continue;
                }
                char name[32];
                text_format(name, sizeof name, "W%d_%d", w, i);
                if (registry_write_dword(key, name, w * 1000 + i) != REGISTRY_OK)
                    failures++;
                registry_close_key(key);
                g_settings.ProxyPort = w * 1000 + i;
                if (settings_save() != 0)
                    failures++;
            }
            _exit(failures == 0 ? 0 : 1);
        }
    }
    for (int w = 0; w < kWriters; w++) {
        int status = -1;
        ASSERT_EQ(pids[w], waitpid(pids[w], &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << w;
    }
    RegistryKey key;
    ASSERT_EQ(REGISTRY_OK, registry_open_key(SETTINGS_KEY_PATH, &key));
    for (int w = 0; w < kWriters; w++) {
        for (int i = 0; i < kValues; i++) {
            char name[32];
            text_format(name, sizeof name, "W%d_%d", w, i);
            EXPECT_EQ(w * 1000 + i, registry_read_dword(key, name, -1)) << name;
        }
    }
    registry_close_key(key);
    settings_load();
    EXPECT_TRUE(g_settings.ProxyPort == kValues - 1 || g_settings.ProxyPort == 1000 + kValues - 1)
        << g_settings.ProxyPort;
    EXPECT_EQ((std::vector<std::string>{"registry.reg", "registry.reg.lock"}),
              folder_entries(folder_of(file)));
}

TEST_F(RegistryFileTest, ReplacedFileKeepsItsMode)
{
    write_file(file, "REGEDIT4\n\n");
    chmod(file.c_str(), 0640);
    settings_load();
    ASSERT_EQ(0, settings_save());
    struct stat st;
    ASSERT_EQ(0, stat(file.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
}
