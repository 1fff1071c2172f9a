// The scripted server is a test tool: these cases check the behaviour that other tests
// lean on, driving it through the stream as a client would.
#include "tests/support/ftp_script_server.h"
#include "tests/support/test_waits.h"
#include "transport/stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

long elapsed_ms(Clock::time_point since)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// Knows no name at all: every address here is dotted text, and no test may ask the system.
int no_names(const char *, NetAddress *, int)
{
    return -1;
}

class ScriptClient {
public:
    explicit ScriptClient(uint16_t port) { control = stream_open("127.0.0.1", port); }
    ~ScriptClient() { stream_close(control); }

    std::string line()
    {
        char buffer[1001];
        return stream_read_line(control, buffer, 1000) ? buffer : "<none>";
    }
    std::string command(const std::string &text)
    {
        stream_send_text(control, (text + "\r\n").c_str());
        return line();
    }
    // Opens the passive data connection that a 227 line names.
    SocketStream *passive(const std::string &reply)
    {
        unsigned n[6];
        size_t open = reply.find('(');
        if (open == std::string::npos ||
            sscanf(reply.c_str() + open, "(%u,%u,%u,%u,%u,%u)", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5]) != 6)
            return nullptr;
        EXPECT_EQ(127u, n[0]);
        return stream_open("127.0.0.1", (int)(n[4] * 256 + n[5]));
    }
    static std::string drain(SocketStream *data)
    {
        std::string all;
        char buffer[4096];
        int n;
        while ((n = stream_receive(data, buffer, sizeof buffer)) > 0)
            all.append(buffer, (size_t)n);
        return all;
    }

    SocketStream *control;
};

TEST(FtpScriptServer, StrictScriptRecordsTheTranscriptAndMismatches)
{
    FtpScriptServer server;
    server.greeting().lines({"220-Welcome", " to the test", "220 Ready"});
    server.expect("USER ", {"331 Password please"});
    server.expect("PASS ", {"230 In"}).delay(200);
    server.expect("SYST", {"215 UNIX Type: L8"});
    ASSERT_TRUE(server.start());

    ScriptClient client(server.port());
    ASSERT_NE(nullptr, client.control);
    EXPECT_EQ("220-Welcome\r\n", client.line());
    EXPECT_EQ(" to the test\r\n", client.line());
    EXPECT_EQ("220 Ready\r\n", client.line());
    EXPECT_EQ("331 Password please\r\n", client.command("USER alice"));
    Clock::time_point start = Clock::now();
    EXPECT_EQ("230 In\r\n", client.command("PASS secret"));
    EXPECT_GE(elapsed_ms(start), 150);
    EXPECT_EQ("500 Unexpected command\r\n", client.command("PWD"));
    EXPECT_EQ(1u, server.pending_steps());

    EXPECT_EQ((Lines{"USER alice", "PASS secret", "PWD"}), server.commands());
    ASSERT_EQ(1u, server.errors().size());
    EXPECT_NE(std::string::npos, server.errors()[0].find("PWD"));
}

TEST(FtpScriptServer, AutoAnswersAndCarriesDataBothWays)
{
    net_set_resolver(&no_names);
    FtpScriptServer server;
    server.set_auto_answer(true);
    server.add_file("pub/readme.txt", "hello, reader\n");
    server.expect("RETR slow.bin", {"150 Opening (10 bytes)"})
        .send_data("0123456789", 3, 20)
        .final_reply({"226 Done"});
    server.expect("RETR cut.bin", {"150 Opening"})
        .send_data("abcdefgh")
        .stop_data_after(5, true)
        .final_reply({"426 Connection closed; transfer aborted"});
    ASSERT_TRUE(server.start());

    ScriptClient client(server.port());
    ASSERT_NE(nullptr, client.control);
    EXPECT_EQ("220 Kestrel test server ready\r\n", client.line());
    EXPECT_EQ("331 Password required\r\n", client.command("USER anonymous"));
    EXPECT_EQ("230 Logged in\r\n", client.command("PASS guest@"));
    EXPECT_EQ("215 UNIX Type: L8\r\n", client.command("SYST"));
    EXPECT_EQ("250 Directory changed\r\n", client.command("CWD /pub"));
    EXPECT_EQ("257 \"/pub\" is the current directory\r\n", client.command("PWD"));

    struct Download {
        const char *name;
        std::string bytes;
        std::string final_line;
    } downloads[] = {
        {"pub/readme.txt", "hello, reader\n", "226 Transfer complete\r\n"},
        {"slow.bin", "0123456789", "226 Done\r\n"},
        {"cut.bin", "abcde", "426 Connection closed; transfer aborted\r\n"},
    };
    for (const Download &d : downloads) {
        SocketStream *data = client.passive(client.command("PASV"));
        ASSERT_NE(nullptr, data) << d.name;
        EXPECT_EQ('1', client.command(std::string("RETR ") + d.name)[0]) << d.name;
        EXPECT_EQ(d.bytes, ScriptClient::drain(data)) << d.name;
        stream_close(data);
        EXPECT_EQ(d.final_line, client.line()) << d.name;
    }

    // Active mode: the server connects to the PORT address, here a listening stream.
    NetAddress loopback_address;
    ASSERT_EQ(1, resolve_host("127.0.0.1", &loopback_address, 1));
    SocketStream *listening = stream_listen(loopback_address, 0);
    ASSERT_NE(nullptr, listening);
    NetAddress address;
    uint16_t port;
    ASSERT_EQ(0, net_local_name(listening->listen_socket, &address, &port));
    std::string port_command = "PORT 127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
    EXPECT_EQ("200 PORT command successful\r\n", client.command(port_command));
    EXPECT_EQ(0, stream_send_text(client.control, "STOR up.bin\r\n"));
    ASSERT_NE(NET_NO_SOCKET, stream_accept(listening));
    EXPECT_EQ("150 Ok to send data\r\n", client.line());
    std::string upload(100000, 'u');
    EXPECT_EQ((int)upload.size(), stream_send(listening, upload.data(), (int)upload.size()));
    stream_close(listening);
    EXPECT_EQ("226 Transfer complete\r\n", client.line());
    ASSERT_EQ(1u, server.uploads().size());
    EXPECT_EQ("up.bin", server.uploads()[0].name);
    EXPECT_TRUE(upload == server.uploads()[0].bytes);

    // Addresses outside the loopback range are refused and never connected to.
    EXPECT_EQ("500 Illegal PORT command\r\n", client.command("PORT 0,0,0,0,4,1"));
    EXPECT_EQ(1, server.refused_ports());
    EXPECT_EQ("425 Cannot open data connection\r\n", client.command("LIST"));

    Lines expected = {"USER anonymous", "PASS guest@", "SYST", "CWD /pub", "PWD",
                      "PASV", "RETR pub/readme.txt", "PASV", "RETR slow.bin", "PASV", "RETR cut.bin",
                      port_command, "STOR up.bin", "PORT 0,0,0,0,4,1", "LIST"};
    EXPECT_EQ(expected, server.commands());
    EXPECT_EQ(0u, server.pending_steps());
    EXPECT_EQ(2u, server.errors().size());  // the refusal and the LIST without a connection
    net_set_resolver(nullptr);
}

TEST(FtpScriptServer, SilenceAndCloseEndCleanlyAndStopNeverHangs)
{
    {
        FtpScriptServer idle;  // nobody ever connects
        ASSERT_TRUE(idle.start());
        Clock::time_point start = Clock::now();
        idle.stop();
        EXPECT_LT(elapsed_ms(start), 1000);
    }

    FtpScriptServer server;
    server.set_connections(2);
    server.expect("USER", {"331-Partial"}).raw_bytes("331 cut sh").close_connection();
    server.expect("USER", {}).silence();
    ASSERT_TRUE(server.start());
    {
        ScriptClient first(server.port());
        EXPECT_EQ("220 Kestrel test server ready\r\n", first.line());
        EXPECT_EQ("331-Partial\r\n", first.command("USER a"));
        EXPECT_EQ("331 cut sh", first.line());  // the close ends the piece
        EXPECT_EQ("<none>", first.line());
    }
    ScriptClient second(server.port());
    EXPECT_EQ("220 Kestrel test server ready\r\n", second.line());
    EXPECT_EQ(0, stream_send_text(second.control, "USER b\r\n"));
    ASSERT_TRUE(server.wait_for_commands(2, 5000));
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stream_cancel(second.control);
    });
    EXPECT_EQ("<none>", second.line());
    canceller.join();
    Clock::time_point start = Clock::now();
    server.stop();
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ((Lines{"USER a", "USER b"}), server.commands());
    EXPECT_EQ(2, server.connections_accepted());
    EXPECT_TRUE(server.errors().empty());
}

}  // namespace
