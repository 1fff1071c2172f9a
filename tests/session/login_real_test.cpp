// Login against the real servers that tests/servers/with-servers runs on loopback.
#include <gtest/gtest.h>

#include "session/session.h"
#include "tests/support/real_servers.h"
#include "tests/support/test_waits.h"

namespace {

struct Login {
    const char *label;
    bool anonymous;
};

void check_login(const RealServer &server, bool anonymous)
{
    SCOPED_TRACE(server.name + (anonymous ? " anonymous" : " user"));
    FtpSession *session = session_create();
    ASSERT_NE(nullptr, session);
    std::string user = anonymous ? "anonymous" : real_server_user();
    std::string password = anonymous ? "kestrel@example.invalid" : real_server_password();
    ASSERT_EQ(0, session_connect(session, server.host.c_str(), server.port, user.c_str(), password.c_str()));
    EXPECT_STREQ("UNIX", session->system_type);
    EXPECT_STREQ("I", session->transfer_type);
    EXPECT_STREQ("/", session->current_dir);
    EXPECT_EQ(net_address_ipv4(0x0100007Fu), session->server_address);  // 127.0.0.1 in network order
    EXPECT_EQ((uint32_t)server.port, session->server_port);

    EXPECT_EQ(0, session_change_dir(session, "sub"));
    EXPECT_STREQ("/sub", session->current_dir);
    EXPECT_EQ(-1, session_change_dir(session, "no-such-directory"));
    EXPECT_STREQ("/sub", session->current_dir);
    EXPECT_EQ(0, session_set_type(session, "A"));
    EXPECT_STREQ("A", session->transfer_type);
    EXPECT_EQ(0, session_destroy(session));
}

}  // namespace

TEST(RealServerLogin, AnonymousAndUserOnEveryServer)
{
    REQUIRE_REAL_SERVERS();
    for (const RealServer &server : real_servers()) {
        check_login(server, true);
        check_login(server, false);
    }
}

// Every server delays its refusal by seconds; one of them shows the behaviour.
TEST(RealServerLogin, WrongPasswordFailsAndClosesTheConnection)
{
    REQUIRE_REAL_SERVERS();
    for (const RealServer &server : real_servers()) {
        if (server.name != "proftpd")
            continue;
        SCOPED_TRACE(server.name);
        FtpSession *session = session_create();
        ASSERT_NE(nullptr, session);
        EXPECT_EQ(-1, session_connect(session, server.host.c_str(), server.port, real_server_user().c_str(),
                                      "not-the-password"));
        EXPECT_EQ(nullptr, session->control);
        session_destroy(session);
    }
}
