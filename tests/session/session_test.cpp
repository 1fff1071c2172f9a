// The session's conversation on the control connection, against the scripted server:
// every test asserts the exact commands the server received.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/kestrel.h"
#include "platform/net.h"
#include "session/session.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/test_waits.h"

using Lines = std::vector<std::string>;

namespace {

const Lines kLoginTail = {"SYST", "FEAT", "TYPE I", "PWD"};

Lines concat(Lines a, const Lines &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct SessionTest : ::testing::Test {
    FtpScriptServer server;
    FtpSession *session = nullptr;

    void SetUp() override
    {
        server.set_auto_answer(true);
        session = session_create();
        ASSERT_NE(nullptr, session);
    }
    void TearDown() override
    {
        session_destroy(session);
        server.stop();
    }
    int connect(const char *user = "alice", const char *password = "secret")
    {
        if (!server.start())
            return -2;
        return session_connect(session, "127.0.0.1", server.port(), user, password);
    }
};

}  // namespace

TEST_F(SessionTest, NewSessionDefaults)
{
    EXPECT_EQ(2u, session->data_mode);
    EXPECT_STREQ("I", session->transfer_type);
    EXPECT_STREQ("", session->current_dir);
    EXPECT_EQ(1, session->use_index_file);
    EXPECT_EQ(0u, session->proxy_type);
    EXPECT_EQ(-1, session_destroy(nullptr));
}

TEST_F(SessionTest, MultiLineGreetingThenLogin)
{
    server.greeting().lines({"220-Welcome", "220-to the test", " a line that begins with a space", "220 ready"});
    ASSERT_EQ(0, connect());
    EXPECT_EQ(concat({"USER alice", "PASS secret"}, kLoginTail), server.commands());
    EXPECT_STREQ("UNIX", session->system_type);
    EXPECT_STREQ("/", session->current_dir);
    EXPECT_EQ(net_address_ipv4(0x0100007Fu), session->local_address);
    EXPECT_EQ(server.port(), session->server_port);
}

TEST_F(SessionTest, MultiLineReplyEndsOnlyAtItsCodeAndABlank)
{
    struct Case {
        Lines reply;
        int code;
        const char *last;
    } cases[] = {
        {{"230-Welcome", " indented continuation", "230 Logged in"}, 230, "230 Logged in\r\n"},
        {{"230-Welcome", "no code at all", "", "230 Logged in"}, 230, "230 Logged in\r\n"},
        // Another code, the same code with a '-' or with nothing behind it: all inside.
        {{"230-Welcome", "200 not the end", "230-still not", "230", "230 Logged in"}, 230, "230 Logged in\r\n"},
        {{"230 One line"}, 230, "230 One line\r\n"},
    };
    for (const Case &c : cases)
        server.expect("NOOP", c.reply);
    server.expect("NOOP", {"200 In step"});
    ASSERT_EQ(0, connect());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply.front() + " / " + c.reply.back());
        EXPECT_EQ(c.code, session_command(session, "NOOP\r\n"));
        EXPECT_STREQ(c.last, session->reply);
    }
    EXPECT_EQ(200, session_command(session, "NOOP\r\n"));
}

TEST_F(SessionTest, ProxyTypesSendTheirCommandSequences)
{
    struct Case {
        uint32_t type;
        Lines commands;
    } cases[] = {
        {1, concat({"USER bob@files.test", "PASS pw"}, kLoginTail)},
        {2, concat({"USER bob", "PASS pw", "OPEN files.test"}, kLoginTail)},
        {3, concat({"USER bob", "PASS pw", "open files.test"}, kLoginTail)},
        // An unknown type still goes through the proxy, with the commands of no proxy.
        {7, concat({"USER bob", "PASS pw"}, kLoginTail)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        FtpScriptServer proxy;
        proxy.set_auto_answer(true);
        if (c.type == 2 || c.type == 3)
            proxy.expect(c.type == 2 ? "OPEN" : "open", {"220 connected to files.test"});
        ASSERT_TRUE(proxy.start());
        FtpSession *s = session_create();
        ASSERT_EQ(0, session_set_proxy(s, c.type, "127.0.0.1", proxy.port()));
        // The server's name goes to the proxy only: it is never resolved here.
        ASSERT_EQ(0, session_connect(s, "files.test", 21, "bob", "pw"));
        EXPECT_STREQ("files.test", s->host);
        EXPECT_EQ(proxy.port(), s->server_port);
        EXPECT_EQ(c.commands, proxy.commands());
        session_destroy(s);
    }
}

TEST_F(SessionTest, ProxyOpenMustBeAnsweredWith220)
{
    server.expect("OPEN", {"530 no such host"});
    ASSERT_TRUE(server.start());
    session_set_proxy(session, 2, "127.0.0.1", server.port());
    EXPECT_EQ(-1, session_connect(session, "files.test", 21, "bob", "pw"));
    EXPECT_EQ(nullptr, session->control);
    EXPECT_EQ((Lines{"USER bob", "PASS pw", "OPEN files.test"}), server.commands());
}

TEST_F(SessionTest, UserAnsweredWith230NeedsNoPassword)
{
    server.expect("USER", {"230 Anonymous user logged in"});
    ASSERT_EQ(0, connect("anonymous", "me@home"));
    EXPECT_EQ(concat({"USER anonymous"}, kLoginTail), server.commands());
}

TEST_F(SessionTest, UserAnsweredWith230ThroughAnOpenProxy)
{
    server.expect("USER", {"230 ok"});
    server.expect("open", {"220 connected"});
    ASSERT_TRUE(server.start());
    session_set_proxy(session, 3, "127.0.0.1", server.port());
    ASSERT_EQ(0, session_connect(session, "files.test", 21, "anonymous", "x"));
    EXPECT_EQ(concat({"USER anonymous", "open files.test"}, kLoginTail), server.commands());
}

TEST_F(SessionTest, LoginRefusals)
{
    struct Case {
        const char *label;
        const char *step;
        Lines reply;
        Lines commands;
    } cases[] = {
        {"greeting", "", {}, {}},
        {"USER 332", "USER", {"332 need account"}, {"USER alice"}},
        {"USER 530", "USER", {"530 go away"}, {"USER alice"}},
        {"PASS 530", "PASS", {"530 Login incorrect"}, {"USER alice", "PASS secret"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        if (c.step[0] == '\0')
            s.greeting().lines({"421 too many users"});
        else
            s.expect(c.step, c.reply);
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        EXPECT_EQ(-1, session_connect(fs, "127.0.0.1", s.port(), "alice", "secret"));
        EXPECT_EQ(nullptr, fs->control);
        // The server sees the connection closed, without QUIT.
        EXPECT_TRUE(s.wait_finished(3000));
        EXPECT_EQ(c.commands, s.commands());
        session_destroy(fs);
    }
}

TEST_F(SessionTest, SystemTypeFromSyst)
{
    struct Case {
        Lines reply;
        const char *type;
    } cases[] = {
        {{"215 UNIX Type: L8"}, "UNIX"},
        {{"215 Windows_NT"}, "Windows_NT"},
        {{"215 MS-DOS\tversion"}, "MS-DOS"},
        {{"500 SYST not understood"}, ""},
        {{"215"}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply[0]);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.expect("SYST", c.reply);
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        EXPECT_EQ(0, session_connect(fs, "127.0.0.1", s.port(), "u", "p"));
        EXPECT_STREQ(c.type, fs->system_type);
        session_destroy(fs);
    }
}

TEST_F(SessionTest, PwdParsing)
{
    struct Case {
        const char *reply;
        int result;
        const char *dir;
    } cases[] = {
        {"257 \"/home/alice\" is current directory", 0, "/home/alice"},
        {"257 \"/a \"\"quoted\"\" b\" here", 0, "/a \"\"quoted\"\" b"},
        {"257 \"/x\" and \"later\"", 0, "/x\" and \"later"},
        {"257 \"\"", 0, ""},
        {"257 no quotes", -1, "/before"},
        {"257 \"only one", -1, "/before"},
        {"550 not allowed", -1, "/before"},
    };
    server.set_auto_answer(true);
    for (const Case &c : cases)
        server.expect("PWD", {c.reply});
    ASSERT_TRUE(server.start());
    // The login's own PWD takes the first scripted answer; start from a known directory.
    ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
    EXPECT_STREQ("/home/alice", session->current_dir);
    for (size_t i = 1; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE(cases[i].reply);
        strcpy(session->current_dir, "/before");
        EXPECT_EQ(cases[i].result, session_change_dir(session, ""));
        EXPECT_STREQ(cases[i].dir, session->current_dir);
    }
}

TEST_F(SessionTest, ChangeDirectory)
{
    server.expect("CWD /pub/", {"250 ok"});
    server.expect("PWD", {"257 \"/pub\""});
    server.expect("CWD missing", {"550 no such directory"});
    server.expect("CWD sub", {"250 ok"});
    server.expect("PWD", {"500 what"});
    ASSERT_EQ(0, connect());
    EXPECT_EQ(0, session_change_dir(session, "/pub/"));
    EXPECT_STREQ("/pub", session->current_dir);
    EXPECT_EQ(-1, session_change_dir(session, "missing"));
    EXPECT_STREQ("/pub", session->current_dir);
    // The server changed directory but PWD failed: a failure, and the old path stays.
    EXPECT_EQ(-1, session_change_dir(session, "sub"));
    EXPECT_STREQ("/pub", session->current_dir);
    EXPECT_EQ(concat(concat({"USER alice", "PASS secret"}, kLoginTail),
                     {"CWD /pub/", "PWD", "CWD missing", "CWD sub", "PWD"}),
              server.commands());
}

TEST_F(SessionTest, TypeAndDataMode)
{
    server.expect("TYPE A", {"504 not here"});
    server.expect("TYPE A", {"200 ok"});
    ASSERT_EQ(0, connect());
    EXPECT_EQ(-1, session_set_type(session, "A"));
    EXPECT_STREQ("I", session->transfer_type);
    EXPECT_EQ(0, session_set_type(session, "A"));
    EXPECT_STREQ("A", session->transfer_type);

    EXPECT_EQ(0, session_set_data_mode(session, 1));
    EXPECT_EQ(-1, session_set_data_mode(session, 3));
    EXPECT_EQ(-1, session_set_data_mode(session, -1));
    EXPECT_EQ(1u, session->data_mode);
    EXPECT_EQ(-1, session_set_data_mode(nullptr, 1));
}

static int refuse_every_name(const char *, NetAddress *, int)
{
    return -1;
}

TEST_F(SessionTest, HostThatDoesNotResolve)
{
    ASSERT_TRUE(server.start());
    net_set_resolver(refuse_every_name);
    int result = session_connect(session, "no-such-host.test", server.port(), "u", "p");
    net_set_resolver(nullptr);
    EXPECT_EQ(-1, result);
    EXPECT_EQ(nullptr, session->control);
    EXPECT_STREQ("", session->host);
    EXPECT_STREQ("", session->user);
    EXPECT_STREQ("", session->password);
    EXPECT_EQ(0, server.connections_accepted());
}

// Every name reaches this machine, so only the length checks can keep an overlong or
// cut name from connecting.
static int loopback_for_every_name(const char *, NetAddress *address, int)
{
    return net_parse_address("127.0.0.1", address) == 0 ? 1 : -1;
}

TEST_F(SessionTest, OverlongLoginFieldsAreRefusedBeforeAnythingIsSent)
{
    ASSERT_TRUE(server.start());
    std::string host(1024, 'h'), name(256, 'u');
    net_set_resolver(loopback_for_every_name);
    EXPECT_EQ(-1, session_connect(session, host.c_str(), server.port(), "u", "p"));
    EXPECT_EQ(-1, session_connect(session, "127.0.0.1", server.port(), name.c_str(), "p"));
    EXPECT_EQ(-1, session_connect(session, "127.0.0.1", server.port(), "u", name.c_str()));
    // A proxy name that does not fit is refused whole, never cut to one that resolves.
    EXPECT_EQ(-1, session_set_proxy(session, 1, host.c_str(), (uint32_t)server.port()));
    EXPECT_EQ(-1, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
    EXPECT_EQ(0, session_set_proxy(session, 0, "", 0));
    net_set_resolver(nullptr);
    EXPECT_EQ(0, server.connections_accepted());
    // The longest that fit go through unchanged.
    std::string user(255, 'u');
    ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), user.c_str(), "p"));
    EXPECT_EQ("USER " + user, server.commands().at(0));
}

TEST_F(SessionTest, NameWithALineBreakIsNeverSent)
{
    ASSERT_EQ(0, connect());
    size_t before = server.commands().size();
    EXPECT_EQ(-1, session_change_dir(session, "pub\r\nDELE precious"));
    EXPECT_EQ(-1, session_change_dir(session, "pub\nDELE precious"));
    EXPECT_EQ(-1, session_change_dir(session, "pub\rDELE precious"));
    // The session stays usable.
    EXPECT_EQ(0, session_change_dir(session, "pub"));
    Lines commands = server.commands();
    EXPECT_EQ((Lines{"CWD pub", "PWD"}), Lines(commands.begin() + before, commands.end()));
}

TEST_F(SessionTest, CancelFromAnotherThreadEndsASilentWait)
{
    server.expect("SYST").silence();
    ASSERT_TRUE(server.start());
    std::atomic<bool> done{false};
    int result = 0;
    auto started = std::chrono::steady_clock::now();
    std::thread worker([&] {
        result = session_connect(session, "127.0.0.1", server.port(), "u", "p");
        done = true;
    });
    ASSERT_TRUE(server.wait_for_commands(3, 5000));  // USER, PASS, SYST
    session_cancel(session);
    worker.join();
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_TRUE(done);
    // SYST never fails the login, but every later wait fails at once after the cancel.
    EXPECT_EQ(0, result);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 2500);
    EXPECT_EQ((Lines{"USER u", "PASS p", "SYST"}), server.commands());
    EXPECT_EQ(-1, session_change_dir(session, "x"));
}

TEST_F(SessionTest, CancelDuringGreeting)
{
    server.greeting().silence();
    ASSERT_TRUE(server.start());
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // The cancel reaches the session whatever its streams are doing: only wait until
        // the server has the connection, reading nothing the busy thread changes.
        server.wait_for_connection(1000);
        session_cancel(session);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    canceller.join();
    EXPECT_LT(ms.count(), 2500);
    EXPECT_TRUE(server.commands().empty());
}

TEST_F(SessionTest, DestroyClosesWithoutQuit)
{
    ASSERT_EQ(0, connect());
    EXPECT_EQ(0, session_destroy(session));
    session = nullptr;
    EXPECT_TRUE(server.wait_finished(3000));
    Lines commands = server.commands();
    EXPECT_EQ(concat({"USER alice", "PASS secret"}, kLoginTail), commands);
}

TEST_F(SessionTest, DefaultsForMissingUserAndPassword)
{
    ASSERT_TRUE(server.start());
    ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), nullptr, nullptr));
    Lines commands = server.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ("USER anonymous", commands[0]);
    // Five characters: lower-case letters, then digits.
    const std::string &pass = commands[1];
    ASSERT_EQ(10u, pass.size());
    size_t i = 5;
    while (i < pass.size() && islower((unsigned char)pass[i]))
        i++;
    EXPECT_GT(i, 5u);
    while (i < pass.size() && isdigit((unsigned char)pass[i]))
        i++;
    EXPECT_EQ(pass.size(), i) << pass;
}

struct Messages {
    std::vector<std::string> texts;
    intptr_t user = 0;
};

static int KESTREL_API record_message(const char *text, intptr_t user)
{
    Messages *m = (Messages *)user;
    m->texts.push_back(text);
    m->user = user;
    return 0;
}

TEST(SessionCallback, NotifyCallsTheRegisteredCallbackOnly)
{
    FtpSession *session = session_create();
    Messages messages;
    session_notify(session, "nobody listens\n");
    EXPECT_EQ(0, session_set_callback(session, record_message, (intptr_t)&messages));
    session_notify(session, "READ: 1/2\n");
    EXPECT_EQ(0, session_set_callback(session, nullptr, 0));
    session_notify(session, "dropped\n");
    EXPECT_EQ((std::vector<std::string>{"READ: 1/2\n"}), messages.texts);
    EXPECT_EQ((intptr_t)&messages, messages.user);
    session_destroy(session);
}

// FEAT is asked once after the login; only a 211 reply offers anything.
TEST_F(SessionTest, FeaturesFromTheFeatReply)
{
    struct Case {
        Lines reply;
        uint32_t features;
        int known;
    } cases[] = {
        {{"211-Features:", " MLST type*;size*;modify*;", " UTF8", " SIZE", " MDTM", " REST STREAM", "211 End"},
         SESSION_FEATURE_MLST | SESSION_FEATURE_UTF8 | SESSION_FEATURE_SIZE | SESSION_FEATURE_MDTM |
             SESSION_FEATURE_REST_STREAM,
         1},
        {{"211-Extensions supported:", "  mlst Type*;Size*;", "  utf8", " REST", " LANG EN*", "211 END"},
         SESSION_FEATURE_MLST | SESSION_FEATURE_UTF8, 1},
        // Lines that are no features: the code lines, a word that merely begins alike.
        {{"211-MLST UTF8", " MLSTX", " UTF8X", "211 MLST"}, 0, 1},
        {{"211 No features"}, 0, 1},
        {{"500 FEAT not understood"}, 0, 0},
        {{"502-Not here", " MLST type*;", " UTF8", "502 End"}, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply[0]);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.expect("FEAT", c.reply);
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        EXPECT_EQ(0, session_connect(fs, "127.0.0.1", s.port(), "u", "p"));
        EXPECT_EQ(c.features, fs->features);
        EXPECT_EQ(c.known, fs->features_known);
        EXPECT_EQ(nullptr, fs->line_sink);
        session_destroy(fs);
    }
}
