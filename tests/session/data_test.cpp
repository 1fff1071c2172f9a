// Data connections against the scripted server: PASV replies and their parsing, the
// fall-back to PORT, the address PORT announces and binds, and the cancellable wait for
// the server's connection in active mode.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/test_waits.h"

using Lines = std::vector<std::string>;
using xfer::elapsed_ms;

namespace {

const size_t kLoginCommands = 6;  // USER, PASS, SYST, FEAT, TYPE I, PWD

NetAddress ipv4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    unsigned char bytes[4] = {(unsigned char)a, (unsigned char)b, (unsigned char)c, (unsigned char)d};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return net_address_ipv4(address);
}

struct DataTest : ::testing::Test {
    FtpScriptServer server;
    FtpSession *session = nullptr;

    void SetUp() override { server.set_auto_answer(true); }
    void TearDown() override
    {
        session_destroy(session);
        server.stop();
    }
    void connect(int mode)
    {
        ASSERT_TRUE(server.start());
        session = session_create();
        ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
        session->data_mode = (uint32_t)mode;
    }
    Lines after_login() const
    {
        Lines all = server.commands();
        return Lines(all.begin() + (long)std::min(kLoginCommands, all.size()), all.end());
    }
};

// A listener of the test's own on a loopback address (at a free port, or the one given).
struct Listener {
    net_socket_t socket = NET_NO_SOCKET;
    uint16_t port = 0;
    explicit Listener(const NetAddress &address, uint16_t at = 0)
    {
        if (!listen(address, at))
            ADD_FAILURE() << "cannot listen";
    }
    Listener() = default;
    bool listen(const NetAddress &address, uint16_t at)
    {
        net_close(socket);
        socket = net_socket_tcp(address.family);
        NetAddress bound;
        return net_bind(socket, address, at) == 0 && net_listen(socket, 1) == 0 &&
               net_local_name(socket, &bound, &port) == 0;
    }
    ~Listener() { net_close(socket); }
};

}  // namespace

TEST_F(DataTest, PassiveRepliesAreReadFromTheirFirstParenthesis)
{
    struct Case {
        const char *reply;  // {pasv} becomes the scripted listener's 127,0,0,1,p1,p2
        int result;
    } cases[] = {
        {"227 Entering Passive Mode ({pasv})", 0},
        {"227 Entering Passive Mode ({pasv}).", 0},
        {"227 ok ({pasv}", 0},
        {"227 Entering Passive Mode 127,0,0,1,4,1", -1},      // no '('
        {"227 Entering Passive Mode (127,0,0,1)", -1},        // four numbers only
        {"227 Entering Passive Mode (127,0,0,1,4)", -1},      // five
        {"227 Entering Passive Mode (127,0,0,1,4,)", -1},     // an empty sixth
        {"227 Entering Passive Mode (127,0,0,1,256,1)", -1},  // not a byte
        {"227 Entering Passive Mode (127,0,0,-1,4,1)", -1},
        {"227 Entering Passive Mode ()", -1},
    };
    for (const Case &c : cases)
        server.expect("PASV", {c.reply});
    connect(DATA_MODE_PASSIVE);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        session->passive_port = 0;
        EXPECT_EQ(c.result, session_open_data(session));
        EXPECT_EQ(c.result == 0, session->data != nullptr);
        if (c.result == 0) {
            EXPECT_EQ(ipv4(127, 0, 0, 1), stream_peer_address(session->data));
            EXPECT_GT(session->passive_port, 0);
        } else {
            // Nothing was taken from a reply that failed to parse.
            EXPECT_EQ(0, session->passive_port);
        }
        EXPECT_EQ(0, session_close_data(session));
        EXPECT_EQ(nullptr, session->data);
    }
    EXPECT_EQ(Lines(sizeof cases / sizeof cases[0], "PASV"), after_login());
    EXPECT_EQ(DATA_MODE_PASSIVE, (int)session->data_mode);
}

// The 227 gives the port only: the connection goes to the control connection's peer
// (127.0.0.1), never to the address the server names, where a listener waits in vain.
TEST_F(DataTest, PassiveConnectsToTheControlPeerWhatever227Names)
{
    // The decoy's free port may be taken on 127.0.0.1 by anyone else on the machine:
    // another pair is drawn until both addresses have it.
    Listener decoy(ipv4(127, 0, 0, 2));
    Listener peer;
    for (int attempt = 0; attempt < 50 && !peer.listen(ipv4(127, 0, 0, 1), decoy.port); attempt++)
        ASSERT_TRUE(decoy.listen(ipv4(127, 0, 0, 2), 0));
    ASSERT_EQ(decoy.port, peer.port);
    std::string port = std::to_string(decoy.port >> 8) + "," + std::to_string(decoy.port & 0xff);
    const char *named[] = {"127,0,0,2,", "127,0,0,5,"};
    for (const char *address : named)
        server.expect("PASV", {"227 Entering Passive Mode (" + std::string(address) + port + ")"});
    connect(DATA_MODE_PASSIVE);

    for (const char *address : named) {
        SCOPED_TRACE(address);
        ASSERT_EQ(0, session_open_data(session));
        EXPECT_EQ(1, net_wait(peer.socket, 0, 2000));
        net_close(net_accept(peer.socket));
        EXPECT_EQ(ipv4(127, 0, 0, 1), stream_peer_address(session->data));
        EXPECT_EQ(decoy.port, stream_peer_port(session->data));
        EXPECT_EQ(decoy.port, session->passive_port);
        session_close_data(session);
    }
    EXPECT_EQ(0, net_wait(decoy.socket, 0, 200)) << "a connection reached the address the 227 named";
}

TEST_F(DataTest, RefusedPassiveReplies)
{
    struct Case {
        const char *label;
        int mode;
        const char *reply;
        int result;
        int mode_after;
        Lines commands;
    } cases[] = {
        // Automatic mode turns to PORT within the same preparation, and stays there.
        {"auto, 500", DATA_MODE_AUTO, "500 PASV not understood", 0, DATA_MODE_ACTIVE,
         {"PASV", "PORT 127,0,0,1,{port}", "PORT 127,0,0,1,{port}"}},
        {"auto, 502", DATA_MODE_AUTO, "502 not implemented", 0, DATA_MODE_ACTIVE,
         {"PASV", "PORT 127,0,0,1,{port}", "PORT 127,0,0,1,{port}"}},
        // Only a 5xx refusal moves automatic mode; passive mode never moves. A 421 closes
        // the control connection: nothing more is sent on it.
        {"auto, 421", DATA_MODE_AUTO, "421 closing", -1, DATA_MODE_AUTO, {"PASV"}},
        {"passive, 500", DATA_MODE_PASSIVE, "500 PASV not understood", -1, DATA_MODE_PASSIVE, {"PASV", "PASV"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.expect("PASV", {c.reply});
        s.expect("PASV", {c.reply});
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        ASSERT_EQ(0, session_connect(fs, "127.0.0.1", s.port(), "u", "p"));
        fs->data_mode = (uint32_t)c.mode;
        EXPECT_EQ(c.result, session_open_data(fs));
        EXPECT_EQ(c.result == 0, fs->data != nullptr);
        session_close_data(fs);
        EXPECT_EQ(c.result, session_open_data(fs));
        session_close_data(fs);
        EXPECT_EQ(c.mode_after, (int)fs->data_mode);
        Lines all = s.commands();
        std::vector<unsigned> ports;
        EXPECT_EQ(c.commands, xfer::active_ports_out(Lines(all.begin() + (long)kLoginCommands, all.end()), &ports));
        if (!ports.empty()) {
            EXPECT_EQ(fs->port_listen_port, ports.back());
        }
        session_destroy(fs);
    }
}

TEST_F(DataTest, PortAnnouncesAndListensAtTheControlConnectionsLocalAddress)
{
    // The machine's own name may resolve anywhere: active mode must not depend on it.
    net_set_resolver([](const char *, NetAddress *address, int) {
        *address = ipv4(127, 0, 0, 9);
        return 1;
    });
    server.expect_port();
    server.expect("LIST").lines({"150 listing"}).send_data("line\r\n").final_reply({"226 done"});
    server.expect_port();
    server.expect("LIST").lines({"150 listing"}).send_data("other\r\n").final_reply({"226 done"});
    server.expect_port();
    server.expect("LIST").lines({"150 listing"}).send_data("third\r\n").final_reply({"226 done"});
    connect(DATA_MODE_ACTIVE);

    struct Case {
        NetAddress local;
        bool port_held;  // another program listens on 127.0.0.1:12321: any free port does
        const char *line;
    } cases[] = {
        {ipv4(127, 0, 0, 1), false, "line\r\n"},
        // As if the control connection ended here at another address.
        {ipv4(127, 0, 0, 2), false, "other\r\n"},
        {ipv4(127, 0, 0, 1), true, "third\r\n"},
    };
    Lines expected;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        std::unique_ptr<xfer::ActivePortHolder> holder;
        if (c.port_held)
            holder.reset(new xfer::ActivePortHolder);
        bool free_before = !c.port_held && xfer::port_bindable(c.local, 12321);
        session->local_address = c.local;
        ASSERT_EQ(0, session_open_data(session));
        EXPECT_EQ(c.local, session->port_address);
        NetAddress bound;
        uint16_t port = 0;
        ASSERT_EQ(0, net_local_name(session->data->listen_socket, &bound, &port));
        EXPECT_EQ(c.local, bound);
        EXPECT_EQ(port, session->port_listen_port);
        if (c.port_held) {
            EXPECT_NE(12321, port);
        } else if (port != 12321) {
            // 12321 is the first choice: another port only while another program holds it
            // (it may have taken it between the look and the bind).
            EXPECT_FALSE(free_before && xfer::port_bindable(c.local, 12321))
                << "port 12321 was free, yet active mode listened on " << port;
        }
        const unsigned char *a = c.local.bytes;
        expected.push_back("PORT " + std::to_string(a[0]) + "," + std::to_string(a[1]) + "," + std::to_string(a[2]) +
                           "," + std::to_string(a[3]) + "," + std::to_string(port >> 8) + "," +
                           std::to_string(port & 0xff));
        expected.push_back("LIST");
        session_send(session, "LIST\r\n");
        ASSERT_EQ(0, session_accept_data(session));
        EXPECT_EQ(150, session_reply(session));
        char line[100];
        ASSERT_NE(nullptr, stream_read_line(session->data, line, 99));
        EXPECT_STREQ(c.line, line);
        session_close_data(session);
        EXPECT_EQ(226, session_reply(session));
    }
    net_set_resolver(nullptr);
    EXPECT_EQ(expected, after_login());
    EXPECT_TRUE(server.errors().empty()) << server.errors()[0];
}

TEST_F(DataTest, ActivePreparationFailures)
{
    server.expect("PORT", {"500 Illegal PORT command"});
    connect(DATA_MODE_ACTIVE);
    EXPECT_EQ(-1, session_open_data(session));
    EXPECT_EQ(nullptr, session->data);

    // While one session listens on port 12321 (or wherever it took), a second one listens
    // on another free port and announces that one.
    FtpScriptServer second;
    second.set_auto_answer(true);
    ASSERT_TRUE(second.start());
    FtpSession *other = session_create();
    ASSERT_EQ(0, session_connect(other, "127.0.0.1", second.port(), "u", "p"));
    other->data_mode = DATA_MODE_ACTIVE;
    ASSERT_EQ(0, session_open_data(session));
    EXPECT_EQ(0, session_open_data(other));
    ASSERT_NE(nullptr, other->data);
    uint32_t port = other->port_listen_port;
    EXPECT_NE(12321u, port);
    EXPECT_NE(session->port_listen_port, port);
    Lines commands = second.commands();
    EXPECT_EQ(Lines(commands.begin() + (long)kLoginCommands, commands.end()),
              Lines{"PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff)});
    session_destroy(other);
    std::vector<unsigned> ports;
    EXPECT_EQ((Lines{"PORT 127,0,0,1,{port}", "PORT 127,0,0,1,{port}"}), xfer::active_ports_out(after_login(), &ports));
    ASSERT_EQ(2u, ports.size());
    EXPECT_EQ(session->port_listen_port, ports[1]);
}

TEST_F(DataTest, ActiveWaitForTheServerEndsWithACancel)
{
    server.expect_port();
    server.expect("RETR").silence();  // never connects, never answers
    connect(DATA_MODE_ACTIVE);
    ASSERT_EQ(0, session_open_data(session));
    session_send(session, "RETR file\r\n");
    ASSERT_TRUE(server.wait_for_commands(kLoginCommands + 2, 5000));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        session_cancel(session);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, session_accept_data(session));
    long long ms = elapsed_ms(started);
    canceller.join();
    EXPECT_LT(ms, 2000);
    EXPECT_GE(ms, 250);
}

TEST_F(DataTest, ActiveRefusalIsReadWithoutWaitingForAConnection)
{
    server.expect_port();
    server.expect("RETR", {"550 No such file"});
    connect(DATA_MODE_ACTIVE);
    ASSERT_EQ(0, session_open_data(session));
    session_send(session, "RETR missing\r\n");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, session_accept_data(session));
    EXPECT_EQ(550, session_reply(session));
    EXPECT_LT(elapsed_ms(started), 1000);
}

TEST_F(DataTest, NoControlConnectionNoData)
{
    session = session_create();
    EXPECT_EQ(-1, session_open_data(session));
    EXPECT_EQ(-1, session_accept_data(session));
    EXPECT_EQ(0, session_close_data(session));
    EXPECT_EQ(-1, session_open_data(nullptr));
}
