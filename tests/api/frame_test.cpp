// The frame's exports: opening and closing handles against the scripted server, with the
// settings in a store of the test's own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/handle.h"
#include "api/kestrel.h"
#include "config/settings.h"
#include "session/session.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/store_env.h"

using Lines = std::vector<std::string>;

namespace {

struct FrameTest : ::testing::Test {
    FtpScriptServer server;

    void SetUp() override
    {
        store_env_reset();
        server.set_auto_answer(true);
    }
    void TearDown() override { store_env_cleanup(); }

    // Stores the settings, as the configuration dialog would.
    void store(const char *email, int ctrl_port)
    {
        settings_load();
        text_set(g_settings.EMailAddress, email);
        g_settings.FtpCtrlPort = ctrl_port;
        ASSERT_EQ(0, settings_save());
    }
    static void text_set(char *field, const char *text)
    {
        snprintf(field, SETTINGS_TEXT_SIZE, "%s", text);
    }
    std::string url(const std::string &authority_and_path)
    {
        return "ftp://" + authority_and_path;
    }
};

std::string port_text(uint16_t port)
{
    return std::to_string(port);
}

}  // namespace

TEST_F(FrameTest, AnonymousPasswordComesFromTheSettingsOnlyForAnonymousWithoutOne)
{
    struct Case {
        const char *label;
        const char *email;
        const char *userinfo;
        const char *pass;
    } cases[] = {
        {"anonymous, e-mail set", "me@example.invalid", "", "PASS me@example.invalid"},
        {"anonymous, no e-mail", "", "", "PASS "},
        {"explicit password", "me@example.invalid", "anonymous:given@", "PASS given"},
        {"capital A", "me@example.invalid", "Anonymous@", "PASS "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        ASSERT_TRUE(s.start());
        store(c.email, 21);
        HARC archive = KestrelOpenArchive(nullptr, url(std::string(c.userinfo) + "127.0.0.1:" + port_text(s.port()) + "/").c_str(), 0);
        ASSERT_NE(nullptr, archive);
        Lines commands = s.commands();
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(c.pass, commands[1]);
        EXPECT_EQ(1, KestrelCloseArchive(archive));
    }
}

TEST_F(FrameTest, ControlPortSettingReplacesPort21Only)
{
    FtpScriptServer other;
    other.set_auto_answer(true);
    server.set_connections(2);
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(other.start());
    store("", server.port());
    for (const char *authority : {"127.0.0.1", "127.0.0.1:21"}) {
        SCOPED_TRACE(authority);
        int before = server.connections_accepted();
        HARC archive = KestrelOpenArchive(nullptr, url(std::string(authority) + "/").c_str(), 0);
        EXPECT_NE(nullptr, archive);
        KestrelCloseArchive(archive);
        EXPECT_EQ(before + 1, server.connections_accepted());
    }
    // Any other port is used as given.
    HARC archive = KestrelOpenArchive(nullptr, url("127.0.0.1:" + port_text(other.port()) + "/").c_str(), 0);
    EXPECT_NE(nullptr, archive);
    KestrelCloseArchive(archive);
    EXPECT_EQ(1, other.connections_accepted());
}

TEST_F(FrameTest, ModeBit2KeepsTheSettingsInMemory)
{
    server.set_connections(2);
    ASSERT_TRUE(server.start());
    store("stored@example.invalid", 21);
    // The store changes behind the library's back; memory still holds the old value.
    text_set(g_settings.EMailAddress, "memory@example.invalid");
    std::string u = url("127.0.0.1:" + port_text(server.port()) + "/");
    HARC kept = KestrelOpenArchive(nullptr, u.c_str(), 2);
    ASSERT_NE(nullptr, kept);
    KestrelCloseArchive(kept);
    HARC reloaded = KestrelOpenArchive(nullptr, u.c_str(), 0);
    ASSERT_NE(nullptr, reloaded);
    KestrelCloseArchive(reloaded);
    Lines passes;
    for (const std::string &line : server.commands())
        if (line.compare(0, 5, "PASS ") == 0)
            passes.push_back(line);
    EXPECT_EQ((Lines{"PASS memory@example.invalid", "PASS stored@example.invalid"}), passes);
}

TEST_F(FrameTest, OpenChangesIntoTheUrlPathAndSetsTheModes)
{
    store("", 21);
    settings_load();
    g_settings.PassiveMode = 1;
    g_settings.ResumeGetMode = 1;
    ASSERT_EQ(0, settings_save());
    server.expect("CWD /pub/dir/", {"250 ok"});
    server.expect("PWD", {"257 \"/pub/dir\""});
    ASSERT_TRUE(server.start());
    HARC archive = KestrelOpenArchive(nullptr, url("u:p@127.0.0.1:" + port_text(server.port()) + "/pub/dir/").c_str(), 0);
    ASSERT_NE(nullptr, archive);
    FtpSession *session = handle_session(archive);
    EXPECT_STREQ("/pub/dir", session->current_dir);
    EXPECT_EQ(1u, session->data_mode);
    EXPECT_EQ(1, session->resume_mode);
    EXPECT_EQ((Lines{"USER u", "PASS p", "SYST", "FEAT", "TYPE I", "PWD", "CWD /pub/dir/", "PWD"}), server.commands());
    KestrelCloseArchive(archive);
}

TEST_F(FrameTest, OutOfRangeStoredModeLeavesAutomaticChoice)
{
    store("", 21);
    g_settings.PassiveMode = 7;
    ASSERT_EQ(0, settings_save());
    ASSERT_TRUE(server.start());
    HARC archive = KestrelOpenArchive(nullptr, url("127.0.0.1:" + port_text(server.port()) + "/").c_str(), 0);
    ASSERT_NE(nullptr, archive);
    EXPECT_EQ(2u, handle_session(archive)->data_mode);
    KestrelCloseArchive(archive);
}

TEST_F(FrameTest, EveryFailedOpenReturnsNullAndLeavesNothingOpen)
{
    struct Case {
        const char *label;
        const char *userinfo_path;  // around the server's address
        const char *step;
        Lines reply;
        bool connects;
    } cases[] = {
        {"login refused", "/", "PASS", {"530 no"}, true},
        {"directory refused", "/missing/", "CWD", {"550 no such directory"}, true},
        {"greeting refused", "/", "", {}, true},
    };
    store("", 21);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        if (c.step[0] == '\0')
            s.greeting().lines({"421 busy"});
        else
            s.expect(c.step, c.reply);
        // A refused absolute path is tried once more relative to the login folder.
        if (strcmp(c.step, "CWD") == 0)
            s.expect(c.step, c.reply);
        ASSERT_TRUE(s.start());
        EXPECT_EQ(nullptr, KestrelOpenArchive(nullptr, url("127.0.0.1:" + port_text(s.port()) + c.userinfo_path).c_str(), 0));
        EXPECT_EQ(1, s.connections_accepted());
        // The server sees its control connection closed.
        EXPECT_TRUE(s.wait_finished(3000));
    }
    ASSERT_TRUE(server.start());
    std::string port = port_text(server.port());
    for (std::string bad : {"http://127.0.0.1:" + port + "/", "ftp:/127.0.0.1:" + port + "/", "127.0.0.1:" + port,
                            std::string("ftp://") + std::string(1000, 'h') + "/"})
        EXPECT_EQ(nullptr, KestrelOpenArchive(nullptr, bad.c_str(), 0)) << bad.substr(0, 40);
    EXPECT_EQ(nullptr, KestrelOpenArchive(nullptr, nullptr, 0));
    EXPECT_EQ(0, server.connections_accepted());
}

TEST_F(FrameTest, CheckArchiveNeverConnects)
{
    ASSERT_TRUE(server.start());
    std::string port = port_text(server.port());
    struct Case {
        std::string url;
        int result;
    } cases[] = {
        {"ftp://127.0.0.1:" + port + "/dir", 1},
        {"FTP://127.0.0.1:" + port + "/dir", 1},
        {"http://127.0.0.1:" + port + "/dir", 0},
        {"gopher://127.0.0.1/", 0},
        {"ftp:127.0.0.1", 0},
        {"no url at all", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.result, KestrelCheckArchive(c.url.c_str(), 0)) << c.url;
    EXPECT_EQ(0, KestrelCheckArchive(nullptr, 0));
    EXPECT_EQ(0, server.connections_accepted());
}

TEST(Frame, QueryFunctionListMatchesTheSupportedSet)
{
    const std::vector<int> supported = {0,  1,  8,  16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 40, 41,
                                        42, 45, 46, 47, 57, 58, 61, 62, 63, 64, 65, 66, 67, 68, 69};
    std::vector<int> answered;
    for (int n = -5; n <= 100; n++)
        if (KestrelQueryFunctionList(n))
            answered.push_back(n);
    EXPECT_EQ(supported, answered);
    EXPECT_EQ(0, KestrelQueryFunctionList(1 << 30));
}

TEST(Frame, FixedAnswers)
{
    EXPECT_EQ(15, KestrelGetVersion());
    EXPECT_EQ(0, KestrelGetRunning());
    EXPECT_EQ(80, KestrelGetCursorInterval());
    EXPECT_EQ(0, KestrelGetCursorMode());
    EXPECT_EQ(0, KestrelGetCRC(99));
    EXPECT_EQ(0, KestrelSetOwnerWindow((KESTREL_WINDOW)0x1234));
    EXPECT_EQ(0, KestrelClearOwnerWindow());
    EXPECT_EQ(0, KestrelSetOwnerWindowEx((KESTREL_WINDOW)0x1234, 5));
    EXPECT_EQ(0, KestrelKillOwnerWindowEx(0));
}

TEST(Frame, NullHandleAnswersTheFailureValue)
{
    EXPECT_EQ(1, KestrelCloseArchive(nullptr));
    EXPECT_EQ(-1, KestrelSetDataConnectionMode(nullptr, 1));
    EXPECT_EQ(0, KestrelSetCallbackMsgFunc(nullptr, nullptr, 0));
    EXPECT_EQ(0, KestrelCancel(nullptr, 0));
}

TEST_F(FrameTest, ModeCallbackAndCancelOnAnOpenHandle)
{
    store("", 21);
    server.expect("NOOP").silence();
    ASSERT_TRUE(server.start());
    HARC archive = KestrelOpenArchive(nullptr, url("127.0.0.1:" + port_text(server.port()) + "/").c_str(), 0);
    ASSERT_NE(nullptr, archive);
    FtpSession *session = handle_session(archive);
    EXPECT_EQ(0, KestrelSetDataConnectionMode(archive, 0));
    EXPECT_EQ(-1, KestrelSetDataConnectionMode(archive, 3));
    EXPECT_EQ(0u, session->data_mode);
    EXPECT_EQ(1, KestrelSetCallbackMsgFunc(archive, nullptr, 42));
    EXPECT_EQ(42, session->callback_user);
    EXPECT_EQ(1, KestrelCancel(archive, 0));
    // Cancelled: nothing more goes out and nothing is waited for.
    EXPECT_EQ(-1, session_change_dir(session, "x"));
    EXPECT_EQ(1, KestrelCloseArchive(archive));
    EXPECT_TRUE(server.wait_finished(3000));
}
