// The remote file commands against the scripted server: each accepts exactly one reply.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/session.h"
#include "tests/support/ftp_script_server.h"

using Lines = std::vector<std::string>;

namespace {

const size_t kLoginCommands = 6;  // USER, PASS, SYST, FEAT, TYPE I, PWD

enum Op { MKD, RMD, DELE, RENAME };

int run(FtpSession *session, Op op, const char *name, const char *other)
{
    switch (op) {
    case MKD:
        return session_make_dir(session, name);
    case RMD:
        return session_remove_dir(session, name);
    case DELE:
        return session_delete(session, name);
    case RENAME:
        return session_rename(session, name, other);
    }
    return -2;
}

}  // namespace

TEST(FileCommands, AcceptedAndRefusedReplies)
{
    struct Case {
        const char *label;
        Op op;
        const char *name;
        Lines replies;  // one per command the server is expected to see
        int result;
        Lines commands;
    } cases[] = {
        {"MKD 257", MKD, "newdir", {"257 \"/newdir\" created"}, 0, {"MKD newdir"}},
        {"MKD 250 is not 257", MKD, "newdir", {"250 ok"}, -1, {"MKD newdir"}},
        {"MKD 550", MKD, "newdir", {"550 exists"}, -1, {"MKD newdir"}},
        {"RMD 250", RMD, "old", {"250 removed"}, 0, {"RMD old"}},
        {"RMD 550", RMD, "old", {"550 not empty"}, -1, {"RMD old"}},
        {"DELE 250, a name with blanks", DELE, "a b", {"250 deleted"}, 0, {"DELE a b"}},
        {"DELE 550", DELE, "x", {"550 no such file"}, -1, {"DELE x"}},
        {"DELE 226", DELE, "x", {"226 what"}, -1, {"DELE x"}},
        {"rename", RENAME, "from", {"350 ready", "250 renamed"}, 0, {"RNFR from", "RNTO to"}},
        {"RNFR 550: no RNTO", RENAME, "from", {"550 no such file"}, -1, {"RNFR from"}},
        {"RNTO 553", RENAME, "from", {"350 ready", "553 not allowed"}, -1, {"RNFR from", "RNTO to"}},
        {"unreadable reply", MKD, "d", {"ok"}, -1, {"MKD d"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer server;
        server.set_auto_answer(true);
        for (size_t i = 0; i < c.replies.size(); i++)
            server.expect(c.commands[i], {c.replies[i]});
        ASSERT_TRUE(server.start());
        FtpSession *session = session_create();
        ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
        EXPECT_EQ(c.result, run(session, c.op, c.name, "to"));
        // The session stays usable after a refusal.
        EXPECT_EQ(0, session_change_dir(session, "/"));
        Lines all = server.commands();
        Lines expected = c.commands;
        expected.push_back("CWD /");
        expected.push_back("PWD");
        EXPECT_EQ(expected, Lines(all.begin() + (long)kLoginCommands, all.end()));
        EXPECT_TRUE(server.errors().empty());
        session_destroy(session);
    }
}

TEST(FileCommands, NothingIsSentWithoutAUsableConnection)
{
    FtpScriptServer server;
    server.set_auto_answer(true);
    server.expect("NOOP").silence();
    ASSERT_TRUE(server.start());
    FtpSession *session = session_create();
    for (Op op : {MKD, RMD, DELE, RENAME})
        EXPECT_EQ(-1, run(session, op, "x", "y")) << "without a control connection";
    for (Op op : {MKD, RMD, DELE, RENAME})
        EXPECT_EQ(-1, run(nullptr, op, "x", "y"));

    ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
    // A name that would smuggle in a second command is never sent, and no reply is awaited.
    EXPECT_EQ(-1, session_delete(session, "x\r\nRMD precious"));
    // Nor is one that would be cut: "DELE " + name + CR LF must fit 9999 bytes.
    EXPECT_EQ(-1, session_delete(session, std::string(9993, 'n').c_str()));
    EXPECT_EQ(-1, session_rename(session, "x", nullptr));
    session_cancel(session);
    auto started = std::chrono::steady_clock::now();
    for (Op op : {MKD, RMD, DELE, RENAME})
        EXPECT_EQ(-1, run(session, op, "x", "y")) << "after a cancel";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count(),
              500);
    EXPECT_EQ(kLoginCommands, server.commands().size());
    session_destroy(session);
}
