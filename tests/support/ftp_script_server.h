// A scripted FTP server for tests: in-process, on 127.0.0.1 (or ::1) only, built on platform/net so
// the same code runs natively and under Wine. It accepts control connections one after
// another, answers from a script (and, when asked, answers common commands by itself),
// records every command line it receives, and serves data connections in both modes:
// passive (it listens on 127.0.0.1 and answers PASV with that port) and active (it connects
// to the address of a PORT command, but only inside 127.0.0.0/8).
//
//     FtpScriptServer server;
//     server.set_auto_answer(true);              // USER, PASS, SYST, TYPE, PWD, CWD ...
//     server.expect_pasv();
//     server.expect("RETR readme.txt", {"150 Opening data connection (5 bytes)"})
//         .send_data("hello")
//         .final_reply({"226 Transfer complete"});
//     ASSERT_TRUE(server.start());
//     ... connect to 127.0.0.1:server.port() and talk ...
//     EXPECT_EQ(expected_lines, server.commands());
//     EXPECT_TRUE(server.errors().empty());
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net.h"

// What happens over the data connection of one step. The connection is made before the
// step's reply (a connection that cannot be made is answered 425 instead); the bytes move
// after the reply, and the final reply follows once the connection is closed.
struct FtpScriptData {
    enum Kind { NONE, SEND, RECEIVE };
    Kind kind = NONE;
    std::string bytes;        // SEND: the bytes to send
    int chunk_size = 0;       // SEND: bytes per send, 0 for one block
    int chunk_delay_ms = 0;   // SEND: pause before each chunk (a slow server)
    long stop_after = -1;     // SEND: send only this many bytes, then...
    bool after_reply = false; // active mode: connect only after the step's reply (150 first)
    std::string intruder;     // active mode: first connect from 127.0.0.3 and send these
    bool reset = false;       // end the data connection with a reset, not an orderly close
    bool close_early = false; // ...close the data connection (true), or hold it open
                              // without sending (false) until the client closes it or
                              // the server stops
};

// One step of the script: the command it expects and what the server does about it.
// The greeting is a step too (without a command).
struct FtpScriptStep {
    std::string expect;                   // the command must begin with this ("" any)
    std::vector<std::string> reply;       // lines sent with CR LF added; "{pasv}" becomes
                                          // 127,0,0,1,p1,p2 of a fresh passive listener
    std::string raw;                      // bytes sent as they are after the lines
    int delay_ms = 0;                     // pause before replying
    int drip_ms = 0;                      // pause between the reply's lines
    bool silent = false;                  // never answer this or anything later
    bool close = false;                   // close the control connection after replying
    FtpScriptData data;                   // data connection after the reply
    std::vector<std::string> final_lines; // sent after the data connection was closed

    FtpScriptStep &lines(std::vector<std::string> text) { reply = std::move(text); return *this; }
    FtpScriptStep &raw_bytes(std::string bytes) { raw = std::move(bytes); return *this; }
    FtpScriptStep &delay(int ms) { delay_ms = ms; return *this; }
    FtpScriptStep &drip(int ms) { drip_ms = ms; return *this; }
    FtpScriptStep &silence() { silent = true; return *this; }
    FtpScriptStep &close_connection() { close = true; return *this; }
    FtpScriptStep &send_data(std::string bytes, int chunk = 0, int chunk_delay = 0)
    {
        data.kind = FtpScriptData::SEND;
        data.bytes = std::move(bytes);
        data.chunk_size = chunk;
        data.chunk_delay_ms = chunk_delay;
        return *this;
    }
    // Sends the first `count` bytes of the data, then closes the data connection early
    // (close true) or stalls with it open (close false).
    FtpScriptStep &stop_data_after(long count, bool close)
    {
        data.stop_after = count;
        data.close_early = close;
        return *this;
    }
    FtpScriptStep &receive_data() { data.kind = FtpScriptData::RECEIVE; return *this; }
    // The data connection ends with a reset (a moment after its bytes went out).
    FtpScriptStep &reset_data() { data.reset = true; return *this; }
    // Active mode: the data connection is made after the reply, not before it.
    FtpScriptStep &connect_after_reply() { data.after_reply = true; return *this; }
    // Active mode: before the server's own connection, another one from 127.0.0.3 reaches
    // the PORT address and sends `bytes` (it stays open until the step ends).
    FtpScriptStep &intruder_first(std::string bytes) { data.intruder = std::move(bytes); return *this; }
    FtpScriptStep &final_reply(std::vector<std::string> text) { final_lines = std::move(text); return *this; }
};

// The bytes of one upload (STOR, or any step that receives data), with the command's
// argument.
struct FtpScriptUpload {
    std::string name;
    std::string bytes;
};

class FtpScriptServer {
public:
    FtpScriptServer();
    ~FtpScriptServer();  // stops the server
    FtpScriptServer(const FtpScriptServer &) = delete;
    FtpScriptServer &operator=(const FtpScriptServer &) = delete;

    // --- The script (before start) ---

    // The greeting step; by default "220 Kestrel test server ready".
    FtpScriptStep &greeting();
    // Appends a step: the next command must begin with prefix ("" takes any).
    FtpScriptStep &expect(const std::string &prefix, std::vector<std::string> reply = {});
    // PASV answered with "227 Entering Passive Mode (127,0,0,1,p1,p2)".
    FtpScriptStep &expect_pasv();
    // PORT answered with 200 (the address is checked and remembered in any case).
    FtpScriptStep &expect_port();
    // EPSV answered with "229 Entering Extended Passive Mode (|||port|)" of a fresh
    // passive listener ("{epsv}" in any reply line becomes that port); EPRT answered with
    // 200 (its address is checked and remembered in any case, as PORT's).
    FtpScriptStep &expect_epsv();
    FtpScriptStep &expect_eprt();

    // When on, a command that the next step does not expect is answered from a table of
    // defaults (USER 331, PASS 230, SYST 215 UNIX Type: L8, TYPE 200, PWD 257 "/", CWD 250,
    // PASV, PORT, LIST, RETR and STOR of the files below, REST 350, MKD, RMD, DELE, RNFR,
    // RNTO, SIZE, NOOP, QUIT; 502 for others). When off, such a command is an error (see
    // errors()) and is answered 500.
    void set_auto_answer(bool on);
    // Files served by the default RETR and SIZE, the text of the default LIST.
    void add_file(const std::string &name, const std::string &bytes);
    void set_listing(const std::string &text);
    // The default LIST of one argument (a folder below the current one); others get the
    // text of set_listing.
    void set_listing_of(const std::string &argument, const std::string &text);
    // What the 227 replies announce: these four numbers (default "127,0,0,1") and the
    // passive listener's port, which is `port` when not 0. The listener itself is always
    // on 127.0.0.1: a client that connects where the 227 points goes elsewhere.
    void set_passive_announce(const std::string &numbers, uint16_t port);
    // How many control connections are accepted one after another (default 1).
    void set_connections(int count);
    // Listens on ::1 instead of 127.0.0.1, for the control connection and every passive
    // data connection; EPRT may then name ::1 (and nothing else).
    void set_ipv6(bool on) { ipv6_ = on; }

    // --- Running ---

    // Listens on 127.0.0.1 (::1) at a free port and starts serving; false when that failed.
    bool start();
    uint16_t port() const { return port_; }
    // Ends every connection and the server's thread; safe to call more than once, and
    // it never hangs, whether or not a client ever connected.
    void stop();

    // --- Results (safe from any thread at any time) ---

    // Every command line received, in order, without its CR LF.
    std::vector<std::string> commands() const;
    // Script mismatches, refused PORT addresses, failed data connections, malformed lines.
    std::vector<std::string> errors() const;
    std::vector<FtpScriptUpload> uploads() const;
    // PORT commands whose address lay outside 127.0.0.0/8 (never connected to).
    int refused_ports() const { return refused_ports_.load(); }
    int connections_accepted() const { return connections_.load(); }
    // Waits until a client has connected, at most timeout_ms; true when one has. It reads
    // nothing but the server's own count, so a thread may call it beside a busy client.
    bool wait_for_connection(int timeout_ms) const;
    // Script steps not reached yet.
    size_t pending_steps() const;
    // Waits until at least count commands were received; false after timeout_ms.
    bool wait_for_commands(size_t count, int timeout_ms) const;
    // Waits until every allowed control connection has come and gone.
    bool wait_finished(int timeout_ms) const;

private:
    enum DataMode { DATA_NONE, DATA_PASSIVE, DATA_ACTIVE };

    void run();
    void serve_connection(net_socket_t control);
    bool run_step(net_socket_t control, const FtpScriptStep &step, const std::string &command);
    FtpScriptStep default_step(const std::string &command);
    bool read_command(net_socket_t control, std::string &pending, std::string &line);
    bool send_all(net_socket_t socket, const std::string &bytes);
    bool pause(int ms);
    std::string open_passive_listener();
    void note_port(const std::string &command);
    void note_eprt(const std::string &command);
    NetAddress loopback() const;
    net_socket_t open_data_connection();
    net_socket_t connect_intruder(const std::string &bytes);
    void send_data(net_socket_t data, const FtpScriptData &action);
    std::string receive_data(net_socket_t data);
    void add_error(const std::string &text);
    void close_data_sockets();

    std::deque<FtpScriptStep> steps_;
    FtpScriptStep greeting_;
    size_t next_step_ = 0;
    bool auto_answer_ = false;
    int max_connections_ = 1;
    std::map<std::string, std::string> files_;
    std::string listing_;
    std::map<std::string, std::string> listings_;
    std::string passive_announce_ = "127,0,0,1";
    uint16_t passive_port_ = 0;

    // Server thread state.
    net_socket_t listener_ = NET_NO_SOCKET;
    net_socket_t passive_listener_ = NET_NO_SOCKET;
    DataMode data_mode_ = DATA_NONE;
    NetAddress active_address_ = {};
    bool ipv6_ = false;
    uint16_t active_port_ = 0;
    bool active_allowed_ = false;
    long rest_offset_ = 0;
    std::string cwd_ = "/";
    bool silent_ = false;

    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> refused_ports_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> commands_;
    std::vector<std::string> errors_;
    std::vector<FtpScriptUpload> uploads_;
};

// A loopback port that is free on every one of the given addresses (127.x or ::1)
// and stays free: it lies below the ephemeral range and below the real test servers'
// ports, so no connect and no bind to port 0 anywhere on the machine is handed it between
// this check and the caller's own bind. 0 when none was found.
uint16_t quiet_port(const std::vector<NetAddress> &addresses);
