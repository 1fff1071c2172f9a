// The fault matrix: servers that break off, fall silent, send what no FTP server should,
// or refuse a step, against the exported interface (and the session where no handle
// exists yet). Every case must end with the operation's failure result within a bound,
// leave the local folder exactly as the transfer rules say, and stay clean under the
// sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/handle.h"
#include "api/kestrel.h"
#include "api/open_and_stamps.h"
#include "command/actions.h"
#include "command/entry.h"
#include "command/output.h"
#include "config/settings.h"
#include "listing/enumeration.h"
#include "listing/parser.h"
#include "platform/file.h"
#include "platform/net.h"
#include "session/session.h"
#include "status/status.h"
#include "tests/support/transfer_support.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/real_servers.h"
#include "tests/support/test_waits.h"
#include "util/text.h"

using Lines = std::vector<std::string>;
using Folder = std::map<std::string, std::string>;  // file name -> bytes
using xfer::elapsed_ms;
using xfer::pattern;
using xfer::read_file;
using xfer::write_file;

namespace {

const long long kBoundMs = 3000;  // a failure or a cancel ends every case within this
const int kCancelAfterMs = 300;   // how long a case hangs before another thread cancels
// The Timeout rows: 2 seconds of silence, and the failure comes within this window.
const int kTimeoutSeconds = 2;
const long long kTimeoutEarliestMs = 2000, kTimeoutLatestMs = 3500;

// The longest any case went on after its cancel, printed when the program ends.
std::atomic<long long> g_worst_cancel_ms{-1};

void note_cancel_latency(long long ms)
{
    long long seen = g_worst_cancel_ms.load();
    while (ms > seen && !g_worst_cancel_ms.compare_exchange_weak(seen, ms)) {
    }
}

struct WorstCancelReport : ::testing::Environment {
    void TearDown() override
    {
        if (g_worst_cancel_ms.load() < 0)
            return;
        std::string note = "[  cancel  ] worst cancel latency over the fault matrix: " +
                           std::to_string(g_worst_cancel_ms.load()) + " ms after the cancel\n";
        fputs(note.c_str(), stdout);
    }
};
const ::testing::Environment *const g_worst_cancel_report =
    ::testing::AddGlobalTestEnvironment(new WorstCancelReport);

std::string unix_line(const std::string &name, int size = 10)
{
    return "-rw-r--r--   1 ftp  ftp  " + std::to_string(size) + " Jan 02  2024 " + name + "\r\n";
}

std::string listing_of(int count)
{
    std::string text;
    for (int i = 0; i < count; i++)
        text += unix_line("f" + std::to_string(i), i % 1000);
    return text;
}

// Bytes no server should send: every value, NUL and LF included, in a fixed order that
// never starts with a digit (a reply code would then be read from it).
std::string garbage(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    uint32_t state = seed;
    for (size_t i = 0; i < size; i++) {
        state = state * 1103515245u + 12345u;
        bytes[i] = (char)(state >> 16);
    }
    bytes[0] = '\x9b';
    return bytes;
}

// Every file below path, by its path relative to it ('/' between the folders).
Folder tree_of(const xfer::fs::path &path)
{
    Folder files;
    for (const auto &item : xfer::fs::recursive_directory_iterator(path))
        if (item.is_regular_file())
            files[item.path().lexically_relative(path).generic_string()] = read_file(item.path().string());
    return files;
}

Folder folder_of(const xfer::fs::path &path)
{
    Folder files;
    for (const auto &item : xfer::fs::directory_iterator(path))
        files[item.path().filename().string()] = read_file(item.path().string());
    return files;
}

// Settings kept in memory (open mode bit 2), so the cases never touch the registry that
// other test programs share under Wine.
void use_settings(int data_mode, int timeout = 0)
{
    memset(&g_settings, 0, sizeof g_settings);
    g_settings.FtpCtrlPort = 21;
    g_settings.PassiveMode = data_mode;
    g_settings.Timeout = timeout;
    g_settings.UseMLSD = 1;
}

// A port on 127.0.0.1 that nothing listens on.
uint16_t closed_port()
{
    NetAddress address;
    net_parse_address("127.0.0.1", &address);
    return quiet_port({address});
}

// One scripted server, one handle on it and a private local folder.
struct Rig {
    FtpScriptServer server;
    HARC archive = nullptr;
    xfer::TempDir dir;
    size_t opened_at = 0;
    std::string upload_source;  // an upload's local file, kept outside the folder
    std::unique_ptr<xfer::ActivePortHolder> port_holder;

    explicit Rig(int data_mode = DATA_MODE_PASSIVE, int timeout = 0, bool ipv6 = false)
    {
        use_settings(data_mode, timeout);
        server.set_auto_answer(true);
        server.set_ipv6(ipv6);
        host = ipv6 ? "[::1]" : "127.0.0.1";
    }
    std::string host;
    ~Rig()
    {
        KestrelCloseArchive(archive);
        server.stop();
    }
    HARC open_handle()
    {
        if (!server.start())
            return nullptr;
        std::string url = "ftp://u:p@" + host + ":" + std::to_string(server.port()) + "/";
        archive = KestrelOpenArchive(nullptr, url.c_str(), 2);
        opened_at = server.commands().size();
        return archive;
    }
    FtpSession *session() const { return handle_session(archive); }
    // Port 12321 held as another program would hold it, until the rig ends.
    void hold_active_port() { port_holder.reset(new xfer::ActivePortHolder); }
    ListingStore *listing() const { return handle_listing(archive); }
    Lines since_open() const
    {
        Lines all = server.commands();
        return Lines(all.begin() + (long)std::min(opened_at, all.size()), all.end());
    }
    std::string file(const std::string &name) const { return dir.file(name); }
    // since_open() with each active-mode port written as {port}; the last one announced is
    // the port the session listened on (the server connected to the others, or the
    // transfers would have failed).
    Lines since_open_any_port() const
    {
        std::vector<unsigned> ports;
        Lines lines = xfer::active_ports_out(since_open(), &ports);
        if (!ports.empty()) {
            EXPECT_EQ(ports.back(), session()->port_listen_port);
        }
        return lines;
    }
};

// The two operations that open a passive data connection before anything else, with
// their failure result and the commands sent until the connection fails.
struct PassiveOperation {
    const char *label;
    std::function<int(Rig &)> operation;
    int expected;
    Lines commands;
};

std::vector<PassiveOperation> passive_operations()
{
    return {
        {"listing", [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, {"PASV"}},
        {"download", [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV"}},
    };
}

// Runs an operation while another thread cancels it once `ready` holds and a little
// more time has passed. Gives how long the operation went on after the cancel (-1 when
// it ended before the cancel came).
struct CancelRun {
    int result = 0;
    long long after_cancel_ms = -1;
    long long total_ms = 0;
};

CancelRun run_cancelled(const std::function<int()> &operation, const std::function<bool()> &ready,
                        const std::function<void()> &cancel)
{
    CancelRun run;
    std::atomic<bool> finished{false};
    std::atomic<long long> cancelled_at{-1};
    auto started = std::chrono::steady_clock::now();
    std::thread canceller([&] {
        ready();
        std::this_thread::sleep_for(std::chrono::milliseconds(kCancelAfterMs));
        if (finished)
            return;
        cancelled_at = elapsed_ms(started);
        cancel();
    });
    run.result = operation();
    run.total_ms = elapsed_ms(started);
    finished = true;
    canceller.join();
    if (cancelled_at >= 0) {
        run.after_cancel_ms = run.total_ms - cancelled_at;
        note_cancel_latency(run.after_cancel_ms);
    }
    return run;
}

// A passive port whose SYNs go unanswered: a listener on 127.0.0.1 whose queue is already
// full of connections nobody accepts, so the system drops every further SYN (the connect
// would retry for minutes). `usable` is false where the system answers them anyway.
struct DroppedSynPort {
    net_socket_t listener = NET_NO_SOCKET;
    std::vector<net_socket_t> fillers;
    uint16_t port = 0;
    bool usable = false;

    DroppedSynPort()
    {
        net_startup();
        NetAddress address;
        net_parse_address("127.0.0.1", &address);
        listener = net_socket_tcp();
        if (net_bind(listener, address, 0) != 0 || net_listen(listener, 0) != 0)
            return;
        net_local_name(listener, &address, &port);
        for (int i = 0; i < 4; i++) {
            net_socket_t s = net_socket_tcp();
            net_set_nonblocking(s, 1);
            net_connect_start(s, address, port);
            fillers.push_back(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // One more connect must still be under way after a while.
        net_socket_t probe = net_socket_tcp();
        net_set_nonblocking(probe, 1);
        int started = net_connect_start(probe, address, port);
        usable = started == 1 && net_connect_wait(probe, 300) == 0;
        net_close(probe);
    }
    ~DroppedSynPort()
    {
        for (net_socket_t s : fillers)
            net_close(s);
        net_close(listener);
    }
    std::string reply() const
    {
        return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
               std::to_string(port & 0xff) + ")";
    }
};

}  // namespace

// ---- The control connection closes in the middle of ... ----

TEST(Faults, ControlConnectionClosesMidway)
{
    const std::string bytes = pattern(10000);
    const std::string upload = pattern(8 << 20, 9);
    // A download cut inside its second block of the whole-file transfer.
    const std::string blocks = pattern(2 * SESSION_FILE_BLOCK_SIZE + 1000, 5);
    const long cut = SESSION_FILE_BLOCK_SIZE + 12345;
    struct Case {
        const char *label;
        std::function<void(FtpScriptServer &)> script;
        bool needs_handle;                    // false: the open itself is the operation
        std::function<int(Rig &)> operation;  // the interface's answer
        int expected;
        Lines commands;                       // after the open (or all, without a handle)
        Folder folder;                        // the local folder afterwards
    } cases[] = {
        {"greeting",
         [](FtpScriptServer &s) { s.greeting().lines({}).raw_bytes("220-Kestrel test server\r\n220-still gree").close_connection(); },
         false, [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}, {}},
        {"multi-line reply to USER",
         [](FtpScriptServer &s) { s.expect("USER", {"331-Password required"}).raw_bytes("331-for u").close_connection(); },
         false, [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {"USER u"}, {}},
        // The code of a reply is known from its first line: MKD was answered 257. The
        // session then finds the connection gone at the next command.
        {"multi-line reply to MKD",
         [](FtpScriptServer &s) { s.expect("MKD", {"257-\"a\" created"}).raw_bytes("257-and mo").close_connection(); },
         true,
         [](Rig &r) { return KestrelMkDir(r.archive, "a", 0) * 10 + KestrelMkDir(r.archive, "b", 0); }, 10,
         {"MKD a"}, {}},
        {"listing",
         [](FtpScriptServer &s) {
             s.expect("LIST", {"150 Here comes the directory listing"})
                 .send_data(listing_of(100))
                 .stop_data_after(2000, true)
                 .close_connection();
         },
         true, [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, {"PASV", "LIST"}, {}},
        {"download",
         [&](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (10000 bytes)"}).send_data(bytes).stop_data_after(4000, true).close_connection();
         },
         true, [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes.substr(0, 4000)}}},
        {"download, past its first block",
         [&](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (" + std::to_string(blocks.size()) + " bytes)"})
                 .send_data(blocks)
                 .stop_data_after(cut, true)
                 .close_connection();
         },
         true, [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", blocks.substr(0, (size_t)cut)}}},
        {"upload",
         [](FtpScriptServer &s) { s.expect("STOR", {"150 Ok to send data"}).close_connection(); }, true,
         [](Rig &r) { return KestrelAdd(r.archive, "up.bin", r.file("up.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "STOR up.bin"}, {{"up.bin", upload}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        c.script(rig.server);
        if (c.label == std::string("upload"))
            write_file(rig.file("up.bin"), upload);
        if (c.needs_handle) {
            ASSERT_NE(nullptr, rig.open_handle());
        }
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, c.needs_handle ? rig.since_open() : rig.server.commands());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
    }
}

// ---- The server falls silent during ..., and another thread cancels ----

// The open hangs before the handle is returned. A cancel reaches it the three ways there
// are: through the session (no handle at all), through KestrelCancel on the handle the
// command entry makes before it connects, and through the status window's cancel callback
// on the entry's handle variable. The terminal panel's Esc and the Windows window's button
// are driven in tests/tty and tests/dialogs.
TEST(Faults, SilentGreetingEndsWithACancel)
{
    enum Route { SESSION, HANDLE, WINDOW_CALLBACK };
    struct Case {
        const char *label;
        std::vector<std::string> greeting;  // empty: not a byte
        Route route;
    } cases[] = {
        {"greeting never comes, session cancelled", {}, SESSION},
        {"greeting stops after its first line, session cancelled", {"220-Welcome to the Kestrel test server"}, SESSION},
        {"greeting never comes, KestrelCancel on the handle being opened", {}, HANDLE},
        {"greeting stops after its first line, KestrelCancel on the handle being opened",
         {"220-Welcome to the Kestrel test server"}, HANDLE},
        {"greeting never comes, the window's cancel callback", {}, WINDOW_CALLBACK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(DATA_MODE_PASSIVE);
        FtpScriptServer server;
        if (c.greeting.empty())
            server.greeting().silence();
        else
            server.greeting().lines(c.greeting);
        ASSERT_TRUE(server.start());
        std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
        HARC handle = frame_new_handle();
        ASSERT_NE(nullptr, handle);
        HARC variable = nullptr;
        status_set_handle(&variable, handle);
        FtpSession *session = handle_session(handle);
        CancelRun run = run_cancelled(
            [&] {
                if (c.route == SESSION)
                    return session_connect(session, "127.0.0.1", server.port(), "u", "p");
                return frame_open_handle(handle, url.c_str(), 2);
            },
            [&] { return server.wait_for_connection(5000); },
            [&] {
                if (c.route == SESSION)
                    session_cancel(session);
                else if (c.route == HANDLE)
                    KestrelCancel(handle, 0);
                else
                    status_cancel_callback((intptr_t)&variable);
            });
        EXPECT_EQ(-1, run.result);
        EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
        EXPECT_LT(run.after_cancel_ms, kBoundMs);
        EXPECT_EQ(nullptr, session->control);
        EXPECT_EQ(Lines{}, server.commands());
        // The entry clears its variable under the lock before it closes the handle.
        status_set_handle(&variable, nullptr);
        KestrelCloseArchive(handle);
    }
}

// A passive data connection whose SYN is never answered, cancelled from another thread.
TEST(Faults, DroppedSynOnThePassivePortEndsWithACancel)
{
    DroppedSynPort port;
    if (!port.usable)
        GTEST_SKIP() << "this system answers SYNs to a full listener: no port to hang on";
    for (const PassiveOperation &c : passive_operations()) {
        SCOPED_TRACE(c.label);
        Rig rig;
        rig.server.expect("PASV", {port.reply()});
        rig.server.add_file("f.bin", "never sent");
        ASSERT_NE(nullptr, rig.open_handle());
        CancelRun run = run_cancelled([&] { return c.operation(rig); },
                                      [&] { return rig.server.wait_for_commands(rig.opened_at + c.commands.size(), 5000); },
                                      [&] { KestrelCancel(rig.archive, 0); });
        EXPECT_EQ(c.expected, run.result);
        EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
        EXPECT_LT(run.after_cancel_ms, kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open());
        EXPECT_EQ(Folder{}, folder_of(rig.dir.path));
        EXPECT_EQ(nullptr, rig.session()->data);
    }
}

// ---- Nobody cancels: the Timeout setting ends the wait ----

TEST(Faults, TimeoutEndsEverySilentWait)
{
    DroppedSynPort port;
    const std::string bytes = pattern(10000);
    struct Case {
        const char *label;
        int data_mode;
        std::function<void(FtpScriptServer &)> script;
        bool needs_handle;  // false: the open itself is the operation
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;     // after the open (or all, without a handle)
        Folder folder;
        bool needs_dropped_syn;
    } cases[] = {
        {"greeting never comes", DATA_MODE_PASSIVE, [](FtpScriptServer &s) { s.greeting().silence(); }, false,
         [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}, {}, false},
        {"MKD never answered", DATA_MODE_PASSIVE, [](FtpScriptServer &s) { s.expect("MKD").silence(); }, true,
         [](Rig &r) { return KestrelMkDir(r.archive, "a", 0); }, 0, {"MKD a"}, {}, false},
        // The time limit bounds a whole reply: lines that keep coming are no progress.
        {"greeting whose lines keep coming, every 300 ms, without an end", DATA_MODE_PASSIVE,
         [](FtpScriptServer &s) { s.greeting().lines(Lines(40, "220-still going")).drip(300); }, false,
         [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}, {}, false},
        {"reply to MKD whose lines keep coming, every 300 ms", DATA_MODE_PASSIVE,
         [](FtpScriptServer &s) {
             Lines lines(40, "257-still going");
             lines.push_back("257 \"a\" created");
             s.expect("MKD", lines).drip(300);
         },
         true, [](Rig &r) { return KestrelMkDir(r.archive, "a", 0); }, 0, {"MKD a"}, {}, false},
        {"120 before the greeting, the greeting 5 s later", DATA_MODE_PASSIVE,
         [](FtpScriptServer &s) { s.greeting().lines({"120 Service ready in 5 seconds", "220 Ready"}).drip(5000); },
         false, [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}, {}, false},
        {"SYN to the passive port never answered", DATA_MODE_PASSIVE,
         [&](FtpScriptServer &s) { s.expect("PASV", {port.reply()}); },
         true, [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, {"PASV"}, {}, true},
        {"download falls silent after 4000 of 10000 bytes", DATA_MODE_PASSIVE,
         [&](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (10000 bytes)"}).send_data(bytes).stop_data_after(4000, false);
         },
         true, [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes.substr(0, 4000)}}, false},
        // The local file is opened once the server said 150: it stays, empty.
        {"active mode: 150, the server never connects", DATA_MODE_ACTIVE,
         [](FtpScriptServer &s) { s.expect("RETR", {"150 Opening (5 bytes)"}); }, true,
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"}, {{"f.bin", ""}}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        if (c.needs_dropped_syn && !port.usable) {
            fputs("[   skip   ] this system answers SYNs to a full listener\n", stdout);
            continue;
        }
        Rig rig(c.data_mode, kTimeoutSeconds);
        c.script(rig.server);
        if (c.needs_handle) {
            ASSERT_NE(nullptr, rig.open_handle());
        }
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        long long took = elapsed_ms(started);
        EXPECT_GE(took, kTimeoutEarliestMs - 50);  // the clocks may differ by a tick
        EXPECT_LT(took, kTimeoutLatestMs);
        EXPECT_EQ(c.commands, c.needs_handle ? rig.since_open_any_port() : rig.server.commands());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
        // Like a broken connection: the handle's next command fails at once, sending nothing.
        if (c.needs_handle) {
            auto again = std::chrono::steady_clock::now();
            EXPECT_EQ(0, KestrelMkDir(rig.archive, "after", 0));
            EXPECT_LT(elapsed_ms(again), 500);
            EXPECT_EQ(c.commands, rig.since_open_any_port());
        }
    }
}

TEST(Faults, SilentServerEndsWithACancel)
{
    const std::string bytes = pattern(10000);
    const size_t big = 48 << 20;  // more than every socket buffer on the way can hold
    const std::string blocks = pattern(2 * SESSION_FILE_BLOCK_SIZE + 1000, 6);
    const long stall = SESSION_FILE_BLOCK_SIZE + 12345;
    struct Case {
        const char *label;
        std::function<void(FtpScriptServer &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        size_t command_count;  // commands after the open when the server falls silent
        Lines commands;
        Folder folder;         // the upload's own source file is checked apart
        long long cancel_bound_ms = kBoundMs;
    } cases[] = {
        // The first line of a reply carries its code: a cut reply is judged by it.
        {"multi-line refusal of MKD stops after its first line",
         [](FtpScriptServer &s) { s.expect("MKD", {"550-Permission denied"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "a", 0); }, 0, 1, {"MKD a"}, {}},
        {"multi-line reply to MKD stops after its first line",
         [](FtpScriptServer &s) { s.expect("MKD", {"257-Creating"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "a", 0); }, 1, 1, {"MKD a"}, {}},
        {"listing stalls with its data connection open",
         [](FtpScriptServer &s) {
             s.expect("LIST", {"150 Here comes the directory listing"}).send_data(listing_of(100)).stop_data_after(2000, false);
         },
         [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, 2, {"PASV", "LIST"}, {}},
        {"download stalls with its data connection open",
         [&](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (10000 bytes)"}).send_data(bytes).stop_data_after(4000, false);
         },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0, 3,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes.substr(0, 4000)}}},
        // Mid-block: the bytes of the block under way are written when the cancel ends it,
        // which takes no longer than a wait's slice.
        {"download stalls past its first block",
         [&](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (" + std::to_string(blocks.size()) + " bytes)"})
                 .send_data(blocks)
                 .stop_data_after(stall, false);
         },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0, 3,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", blocks.substr(0, (size_t)stall)}}, 1100},
        {"download: all data, the final reply never comes",
         [&](FtpScriptServer &s) { s.expect("RETR", {"150 Opening (10000 bytes)"}).send_data(bytes); },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0, 3,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes}}},
        {"upload: STOR never answered",
         [](FtpScriptServer &s) { s.expect("STOR").silence(); },
         [](Rig &r) { return KestrelAdd(r.archive, "up.bin", r.upload_source.c_str(), 0); }, 0, 3,
         {"TYPE I", "PASV", "STOR up.bin"}, {}},
        {"upload: 150, then the data is never read",
         [](FtpScriptServer &s) { s.expect("STOR", {"150 Ok to send data"}); },
         [](Rig &r) { return KestrelAdd(r.archive, "up.bin", r.upload_source.c_str(), 0); }, 0, 3,
         {"TYPE I", "PASV", "STOR up.bin"}, {}},
    };
    xfer::TempDir sources;
    const std::string source = sources.file("up.bin");
    write_file(source, pattern(big, 4));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        c.script(rig.server);
        ASSERT_NE(nullptr, rig.open_handle());
        rig.upload_source = source;
        CancelRun run = run_cancelled([&] { return c.operation(rig); },
                                      [&] { return rig.server.wait_for_commands(rig.opened_at + c.command_count, 5000); },
                                      [&] { KestrelCancel(rig.archive, 0); });
        EXPECT_EQ(c.expected, run.result);
        EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
        EXPECT_LT(run.after_cancel_ms, c.cancel_bound_ms);
        EXPECT_EQ(c.commands, rig.since_open());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
        EXPECT_EQ(big, (size_t)xfer::fs::file_size(source));
    }
}

// ---- What no server should send ----

TEST(Faults, OverlongAndGarbageReplies)
{
    const std::string line = std::string(100 << 10, 'x');
    struct Case {
        const char *label;
        std::function<void(FtpScriptServer &)> script;
        bool needs_handle;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;
    } cases[] = {
        {"greeting of 100 KiB without a line end, then the connection closes",
         [&](FtpScriptServer &s) { s.greeting().lines({}).raw_bytes("220 " + line).close_connection(); }, false,
         [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}},
        // The address lies beyond the first 1000 bytes of the line: never guessed at.
        {"227 reply of 100 KiB",
         [&](FtpScriptServer &s) { s.expect("PASV", {"227 Entering Passive Mode " + line + " (127,0,0,1,1,2)"}); },
         true, [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, {"PASV"}},
        {"binary garbage as the greeting",
         [](FtpScriptServer &s) { s.greeting().lines({}).raw_bytes(garbage(4096, 7)).close_connection(); }, false,
         [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}},
        // A reply that goes on and on fails at its cap and ends the connection.
        {"greeting of 2000 lines",
         [](FtpScriptServer &s) {
             Lines lines(2000, "220-more");
             lines.push_back("220 Ready");
             s.greeting().lines(lines);
         },
         false, [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}},
        {"reply to MKD of 10 lines of 7 KiB",
         [](FtpScriptServer &s) {
             Lines lines(10, "257-" + std::string(7 << 10, 'y'));
             lines.push_back("257 \"a\" created");
             s.expect("MKD", lines);
         },
         true, [](Rig &r) { return KestrelMkDir(r.archive, "a", 0) * 10 + KestrelMkDir(r.archive, "b", 0); }, 0,
         {"MKD a"}},
        {"greeting of 100 KiB in one line that never ends",
         [&](FtpScriptServer &s) { s.greeting().lines({}).raw_bytes("220 " + line + line + line); }, false,
         [](Rig &r) { return r.open_handle() ? 1 : 0; }, 0, {}},
        {"binary garbage as the reply to MKD",
         [](FtpScriptServer &s) { s.expect("MKD", {}).raw_bytes(garbage(4096, 8)).close_connection(); }, true,
         [](Rig &r) { return KestrelMkDir(r.archive, "a", 0); }, 0, {"MKD a"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        c.script(rig.server);
        if (c.needs_handle) {
            ASSERT_NE(nullptr, rig.open_handle());
        }
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open());
        EXPECT_EQ(Folder{}, folder_of(rig.dir.path));
    }
}

// A reply line cut short by a NUL byte or by its length must not leave its rest behind
// to be read as the answer to the next command.
TEST(Faults, RepliesStayInStepAfterANulOrAnOverlongLine)
{
    Rig rig;
    rig.server.expect("MKD a", {}).raw_bytes(std::string("257 \"a\0b\" created\r\n", 20));
    rig.server.expect("DELE x", {"550 Permission denied"});
    rig.server.expect("MKD c", {"257 " + std::string(5000, 'y')});
    rig.server.expect("DELE y", {"550 Permission denied"});
    rig.server.expect("MKD d", {"257 \"d\" created"});
    ASSERT_NE(nullptr, rig.open_handle());
    EXPECT_EQ(1, KestrelMkDir(rig.archive, "a", 0));
    EXPECT_EQ(0, KestrelDelete(rig.archive, "x", 0));
    EXPECT_EQ(1, KestrelMkDir(rig.archive, "c", 0));
    EXPECT_EQ(0, KestrelDelete(rig.archive, "y", 0));
    EXPECT_EQ(1, KestrelMkDir(rig.archive, "d", 0));
    EXPECT_EQ((Lines{"MKD a", "DELE x", "MKD c", "DELE y", "MKD d"}), rig.since_open());
}

// A multi-line reply ends only at the line that begins with its own code and a blank;
// the lines between may look like anything. Reading it shorter would answer every later
// command with the reply to the one before it.
TEST(Faults, MultiLineRepliesEndAtTheirOwnCode)
{
    const Lines login = {"USER u", "PASS p", "SYST", "FEAT", "TYPE I", "PWD", "CWD /", "PWD"};
    struct Case {
        const char *label;
        std::function<void(FtpScriptServer &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;  // all of them, the open's included
    } cases[] = {
        {"a line without a code in the reply to PASS",
         [](FtpScriptServer &s) { s.expect("PASS", {"230-Welcome", "This line has no code", "230 Logged in"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 1, {"MKD d"}},
        {"a blank-led line in the reply to SYST",
         [](FtpScriptServer &s) { s.expect("SYST", {"215-UNIX", " emulated", "215 UNIX Type: L8"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 1, {"MKD d"}},
        {"a blank-led line and another code in the reply to PWD",
         [](FtpScriptServer &s) {
             s.expect("PWD", {"257-\"/\" is the current directory", " still the same reply", "250 also the same",
                              "257 \"/\""});
         },
         [](Rig &r) { return strcmp(r.session()->current_dir, "/") == 0 ? KestrelMkDir(r.archive, "d", 0) : -1; }, 1,
         {"MKD d"}},
        // Preliminary replies are waited out; a long reply under the cap is read whole.
        {"120 before the greeting, the greeting a second later",
         [](FtpScriptServer &s) { s.greeting().lines({"120 Service ready in 1 second", "220 Ready"}).drip(1000); },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 1, {"MKD d"}},
        {"1xx lines before the reply to MKD",
         [](FtpScriptServer &s) { s.expect("MKD d", {"150 Working", "110 Still working", "257 \"d\" created"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 1, {"MKD d"}},
        {"a run of 1xx lines between a download's data and its 226",
         [](FtpScriptServer &s) {
             s.expect("RETR", {"150 Opening (5 bytes)"}).send_data("hello").final_reply(
                 {"150 Still here", "150 Still here", "150 Still here", "226 Done"});
         },
         [](Rig &r) {
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0) == 1 &&
                            read_file(r.file("f.bin")) == "hello"
                        ? KestrelMkDir(r.archive, "d", 0)
                        : -1;
         },
         1, {"TYPE I", "PASV", "RETR f.bin", "MKD d"}},
        {"a run of 30 1xx lines before the reply to MKD",
         [](FtpScriptServer &s) {
             Lines lines(30, "150 Working");
             lines.push_back("257 \"d\" created");
             s.expect("MKD d", lines);
         },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0) * 10 + KestrelMkDir(r.archive, "e", 0); }, 0, {"MKD d"}},
        {"a reply of 900 lines to MKD",
         [](FtpScriptServer &s) {
             Lines lines(899, "257-more");
             lines.push_back("257 \"d\" created");
             s.expect("MKD d", lines);
         },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 1, {"MKD d"}},
        {"a 257 to MKD with a line without a code, then a refused MKD",
         [](FtpScriptServer &s) {
             s.expect("MKD d1", {"257-\"d1\" created", "and this line has no code", "257 done"});
             s.expect("MKD d2", {"550 Permission denied"});
             s.expect("DELE x", {"250 Deleted"});
         },
         [](Rig &r) {
             return KestrelMkDir(r.archive, "d1", 0) * 100 + KestrelMkDir(r.archive, "d2", 0) * 10 +
                    KestrelDelete(r.archive, "x", 0);
         },
         101, {"MKD d1", "MKD d2", "DELE x"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        c.script(rig.server);
        ASSERT_NE(nullptr, rig.open_handle());
        EXPECT_STREQ("UNIX", rig.session()->system_type);
        EXPECT_EQ(c.expected, c.operation(rig));
        Lines all = login;
        all.insert(all.end(), c.commands.begin(), c.commands.end());
        EXPECT_EQ(all, rig.server.commands());
    }
}

TEST(Faults, HugeGarbageAndNulListings)
{
    {
        // A million entries fit the compact store in a 32-bit address space as well: the
        // walk sees every one in order, and each costs the arena what its line holds.
        SCOPED_TRACE("1,000,000 lines");
        const int lines = 1000000;
        Rig rig;
        rig.server.set_listing(listing_of(lines));
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EntryInfo info;
        ASSERT_EQ(0, KestrelFindFirst(rig.archive, "*", &info));
        long long listed_ms = elapsed_ms(started);
        EXPECT_EQ(0, listing_failed(rig.listing()));
        EXPECT_STREQ("f0", info.file_name);
        int count = 1;
        bool in_order = true;
        char expected[16];
        while (KestrelFindNext(rig.archive, &info) == 0) {
            snprintf(expected, sizeof expected, "f%d", count);
            in_order = in_order && strcmp(expected, info.file_name) == 0 && info.original_size == (uint32_t)(count % 1000);
            count++;
        }
        EXPECT_EQ(lines, count);
        EXPECT_TRUE(in_order);
        EXPECT_EQ(lines, rig.listing()->entry_count);
        // "f999999", "ftp" twice, the empty link target and the fixed part: at most 48
        // bytes each, not 2.6 KB.
        EXPECT_LE(rig.listing()->arena_used, (size_t)lines * 48);
        long long total = 0;
        EXPECT_EQ(1, KestrelGetArcOriginalSizeEx(rig.archive, &total));
        EXPECT_EQ(499500LL * (lines / 1000), total);
        EXPECT_EQ((Lines{"PASV", "LIST", "TYPE I", "PASV", "RETR Index"}), rig.since_open());
        std::string note = "[   time   ] 1,000,000-line listing read in " + std::to_string(listed_ms) +
                           " ms, read and walked in " + std::to_string(elapsed_ms(started)) + " ms, arena " +
                           std::to_string(rig.listing()->arena_used >> 20) + " MiB\n";
        fputs(note.c_str(), stdout);
    }
    {
        SCOPED_TRACE("binary garbage");
        Rig rig;
        rig.server.set_listing(garbage(256 << 10, 11));
        ASSERT_NE(nullptr, rig.open_handle());
        int found = KestrelFindFirst(rig.archive, "*", nullptr);
        // A complete listing of lines that are no entries: empty, not failed.
        EXPECT_EQ(0, listing_failed(rig.listing()));
        EXPECT_EQ(rig.listing()->entry_count > 0 ? 0 : -1, found);
        int kept = 0;
        for (const StoredEntry *entry = list_first(rig.listing()); entry; entry = list_after(rig.listing(), entry), kept++)
            EXPECT_EQ(strlen(entry_name(entry)), entry->name_length);
        EXPECT_EQ(rig.listing()->entry_count, kept);
        // The control connection is still in step.
        EXPECT_EQ(1, KestrelMkDir(rig.archive, "after", 0));
        EXPECT_EQ((Lines{"PASV", "LIST", "TYPE I", "PASV", "RETR Index", "MKD after"}), rig.since_open());
    }
    // Lines end at LF, CR LF or a CR alone; a line with a NUL or too long for the parser
    // is dropped whole, and the lines around it stay.
    auto ended = [](const std::string &end) {
        return [end](const std::string &name) {
            std::string line = unix_line(name);
            return line.substr(0, line.size() - 2) + end;
        };
    };
    const Lines offers_mlst = {"211-Features:", " MLST type*;size*;modify*;", "211 End"};
    struct LineCase {
        const char *label;
        std::string listing;
        std::vector<std::string> names;
        bool mlsd = false;  // FEAT offers MLST: the listing comes through MLSD
    } line_cases[] = {
        // The folder's own entries are skipped; a size, time or mode that is no number of
        // its kind gives no entry; facts nobody knows are passed over.
        {"MLSD lines with odd facts",
         "type=cdir;modify=20240102030405; /pub\r\ntype=pdir; ..\r\ntype=file;size=12x; bad size\r\n"
         "type=file;size=3;x.odd=;lang=en; one\r\ntype=file;modify=2024; bad time\r\nUNIX.mode=9; bad mode\r\n"
         "type=OS.unix=slink:t;UNIX.mode=0777; two\r\nno facts\r\n" + unix_line("a LIST line") +
             "size=1;type=file;x;y=z; no value\r\nsize=5 three\r\n",
         {"one", "two/", "three"}, true},  // a link without a dot is taken for a folder
        {"NUL inside a listing line", unix_line("first") + unix_line(std::string("mid\0dle.txt", 11)) + unix_line("last"),
         {"first", "last"}},
        {"lines ending in CR alone", ended("\r")("one") + ended("\r")("two") + ended("\r")("three"),
         {"one", "two", "three"}},
        {"lines ending in LF alone, the last without an end", ended("\n")("one") + ended("")("two"), {"one", "two"}},
        {"CR, CR LF and LF mixed, with empty lines", ended("\r")("one") + "\r\n\r" + unix_line("two") + ended("\n")("three"),
         {"one", "two", "three"}},
        {"an overlong line between lines ending in CR alone",
         ended("\r")("one") + ended("\r")(std::string(3000, 'x')) + ended("\r")("three"), {"one", "three"}},
        // Whatever follows the cut of an overlong line is still that line, however well the
        // rest would parse on its own.
        {"an overlong line whose third piece is an entry",
         unix_line("one") + std::string(2 * (LISTING_LINE_LIMIT - 1), ' ') + unix_line("tail") + unix_line("three"),
         {"one", "three"}},
        {"an overlong line whose tail after twice the limit is an entry",
         unix_line("one") + std::string(2 * LISTING_LINE_LIMIT, 'x') + unix_line("tail") + unix_line("three"),
         {"one", "three"}},
    };
    for (const LineCase &c : line_cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        rig.server.set_listing(c.listing);
        if (c.mlsd)
            rig.server.expect("FEAT", offers_mlst);
        ASSERT_NE(nullptr, rig.open_handle());
        EntryInfo info;
        std::vector<std::string> names;
        for (int found = KestrelFindFirst(rig.archive, "*", &info); found == 0; found = KestrelFindNext(rig.archive, &info))
            names.push_back(info.file_name);
        EXPECT_EQ(c.names, names);
        EXPECT_EQ(c.mlsd ? "MLSD" : "LIST", rig.since_open().at(1));
        EXPECT_EQ(0, listing_failed(rig.listing()));
    }
}

// ---- Data connections that cannot be made ----

TEST(Faults, PassiveAddressWithNothingListening)
{
    uint16_t port = closed_port();
    ASSERT_NE(0, port);
    std::string reply = "227 Entering Passive Mode (127,0,0,1," + std::to_string(port >> 8) + "," +
                        std::to_string(port & 0xff) + ")";
    for (const PassiveOperation &c : passive_operations()) {
        SCOPED_TRACE(c.label);
        Rig rig;
        rig.server.expect("PASV", {reply});
        rig.server.add_file("f.bin", "never sent");
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open());
        EXPECT_EQ(Folder{}, folder_of(rig.dir.path));
        EXPECT_EQ(nullptr, rig.session()->data);
    }
}

TEST(Faults, ActiveModeServerNeverConnects)
{
    struct Case {
        const char *label;
        std::function<void(FtpScriptServer &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        size_t command_count;
        Lines commands;
        Folder folder;
    } cases[] = {
        // The local file is opened once the server said 150: it stays, empty.
        {"download answered 150", [](FtpScriptServer &s) { s.expect("RETR", {"150 Opening (5 bytes)"}); },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0, 3,
         {"TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"}, {{"f.bin", ""}}},
        {"listing never answered", [](FtpScriptServer &s) { s.expect("LIST").silence(); },
         [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, -1, 2, {"PORT 127,0,0,1,{port}", "LIST"},
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig(DATA_MODE_ACTIVE);
        c.script(rig.server);
        ASSERT_NE(nullptr, rig.open_handle());
        CancelRun run = run_cancelled([&] { return c.operation(rig); },
                                      [&] { return rig.server.wait_for_commands(rig.opened_at + c.command_count, 5000); },
                                      [&] { KestrelCancel(rig.archive, 0); });
        EXPECT_EQ(c.expected, run.result);
        EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
        EXPECT_LT(run.after_cancel_ms, kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open_any_port());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
        EXPECT_EQ(nullptr, rig.session()->data);
    }
}

// ---- Transfers that come out wrong ----

// A server that says 421 is closing the control connection; one that stays (pyftpdlib after
// a passive listener timed out) still holds the transfer it had queued and hands its bytes
// to the next data connection. A binary download of another size than its 150 reply
// announced is no success either; what arrived stays on disk.
namespace {

// Every send on this socket fails as one that would block for good.
std::atomic<net_socket_t> g_stuck_socket{NET_NO_SOCKET};

int stuck_sends(net_socket_t socket)
{
    return socket == g_stuck_socket.load() ? 1 : 0;
}

// An active-mode upload of `bytes` as up.bin; the server must have received exactly them.
int active_upload(Rig &r, const std::string &bytes)
{
    r.session()->data_mode = DATA_MODE_ACTIVE;
    xfer::TempDir sources;
    std::string source = sources.file("up.bin");
    write_file(source, bytes);
    int result = KestrelAdd(r.archive, "up.bin", source.c_str(), 0);
    EXPECT_EQ(1u, r.server.uploads().size());
    if (!r.server.uploads().empty()) {
        EXPECT_EQ(bytes, r.server.uploads()[0].bytes);
    }
    return result;
}

}  // namespace

TEST(Faults, TransfersThatComeOutWrong)
{
    const std::string bytes = pattern(1000);
    const std::string stale = unix_line("inner.txt", 11);
    struct Case {
        const char *label;
        std::function<void(Rig &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;
        Folder folder;
    } cases[] = {
        {"150, the data connection ends unserved, 421; the next RETR would get a stale listing first",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 File status okay. About to open data connection."})
                 .send_data(bytes)
                 .stop_data_after(0, true)
                 .final_reply({"421 Passive data channel timed out."});
             r.server.expect("RETR", {"125 Data connection already open. Transfer starting."})
                 .send_data(stale + bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             int first = KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
             return first * 10 + KestrelExtract(r.archive, "f.bin", r.file("g.bin").c_str(), 0);
         },
         0, {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", ""}}},
        {"150 announces 1000 bytes, 1066 arrive, 226",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .send_data(stale + bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", stale + bytes}}},
        {"150 announces 1000 bytes, 900 arrive, 226",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .send_data(bytes.substr(0, 900))
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 0,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes.substr(0, 900)}}},
        {"streamed: 150 announces 1000 bytes, 1066 arrive, 226",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .send_data(stale + bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             if (KestrelOpenFile(r.archive, "f.bin", "rb", 0) != 0)
                 return 1;
             char block[4096];
             while (KestrelRead(r.archive, block, (int)sizeof block) > 0) {
             }
             return KestrelCloseFile(r.archive);
         },
         -1, {"TYPE I", "PASV", "RETR f.bin"}, {}},
        // pure-ftpd, racing its own 226 when the client ends a download early, can send
        // that reply with its 150's code: the one reply to the cut ends the transfer.
        {"streamed: read cut short, the cut answered with a second 150",
         [&](Rig &r) {
             r.server.expect("RETR", {"150-Accepted data connection", "150 195.3 kbytes to download"})
                 .send_data(std::string(200000, 'x'))
                 .final_reply({"150 0.001 seconds (measured here), 96.82 Mbytes per second"});
             r.server.expect("MKD d", {"257 \"d\" created"});
         },
         [](Rig &r) {
             if (KestrelOpenFile(r.archive, "f.bin", "rb", 0) != 0)
                 return 1;
             char block[100];
             EXPECT_EQ(100, KestrelRead(r.archive, block, (int)sizeof block));
             EXPECT_EQ(-1, KestrelCloseFile(r.archive));
             return KestrelMkDir(r.archive, "d", 0);
         },
         1, {"TYPE I", "PASV", "RETR f.bin", "MKD d"}, {}},
        // Small writes wait in the send buffer: a send of them that fails is reported by
        // the write that set it off, by every later write and by the close, even though
        // the server, having seen only the end, answers 226.
        {"streamed upload: the buffered bytes cannot be sent, 226",
         [](Rig &r) { r.server.expect("STOR", {"150 Ok to send data"}).receive_data().final_reply({"226 Transfer complete."}); },
         [](Rig &r) {
             if (KestrelOpenFile(r.archive, "up.bin", "wb", 0) != 0)
                 return 1;
             std::string block(4096, 'u');
             EXPECT_EQ(4096, KestrelWrite(r.archive, block.data(), 4096));
             g_stuck_socket = r.session()->data->connected_socket;
             net_set_send_fault(&stuck_sends);
             std::string rest(STREAM_SEND_BUFFER_SIZE, 'v');
             EXPECT_EQ(-1, KestrelWrite(r.archive, rest.data(), (int)rest.size()));
             EXPECT_EQ(-1, KestrelWrite(r.archive, block.data(), 4096));
             net_set_send_fault(nullptr);
             EXPECT_EQ(-1, KestrelWrite(r.archive, block.data(), 4096));
             int closed = KestrelCloseFile(r.archive);
             EXPECT_EQ(1u, r.server.uploads().size());
             if (!r.server.uploads().empty()) {
                 EXPECT_EQ("", r.server.uploads()[0].bytes);
             }
             return closed;
         },
         -1, {"TYPE I", "PASV", "STOR up.bin"}, {}},
        // Active mode: a server may say 150 before it connects, and only the server's own
        // connection is the transfer (others who reach the port first are closed).
        {"active: 150 comes before the server connects",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .connect_after_reply()
                 .send_data(bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             r.session()->data_mode = DATA_MODE_ACTIVE;
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"}, {{"f.bin", bytes}}},
        {"active: a connection from 127.0.0.3 comes first",
         [&](Rig &r) {
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .intruder_first("not the file")
                 .send_data(bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             r.session()->data_mode = DATA_MODE_ACTIVE;
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"}, {{"f.bin", bytes}}},
        {"active upload: a connection from 127.0.0.3 comes first",
         [&](Rig &r) {
             r.server.expect("STOR", {"150 Ok to send data"})
                 .intruder_first("x")
                 .receive_data()
                 .final_reply({"226 Transfer complete."});
         },
         [&](Rig &r) { return active_upload(r, bytes); },
         1, {"TYPE I", "PORT 127,0,0,1,{port}", "STOR up.bin"}, {}},
        // With port 12321 held by another program, active mode listens on a free port and
        // PORT names that one; the transfers and the listing come out whole.
        {"active while 12321 is held: download",
         [&](Rig &r) {
             r.hold_active_port();
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (1000 bytes)."})
                 .send_data(bytes)
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             r.session()->data_mode = DATA_MODE_ACTIVE;
             int result = KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
             EXPECT_NE(12321u, r.session()->port_listen_port);
             return result;
         },
         1, {"TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"}, {{"f.bin", bytes}}},
        {"active while 12321 is held: upload",
         [&](Rig &r) {
             r.hold_active_port();
             r.server.expect("STOR", {"150 Ok to send data"}).receive_data().final_reply({"226 Transfer complete."});
         },
         [&](Rig &r) {
             int result = active_upload(r, bytes);
             EXPECT_NE(12321u, r.session()->port_listen_port);
             return result;
         },
         1, {"TYPE I", "PORT 127,0,0,1,{port}", "STOR up.bin"}, {}},
        {"active while 12321 is held: listing",
         [](Rig &r) {
             r.hold_active_port();
             r.server.set_listing(unix_line("a.txt", 1000) + unix_line("b.txt", 20));
         },
         [](Rig &r) {
             r.session()->data_mode = DATA_MODE_ACTIVE;
             EntryInfo info;
             int found = KestrelFindFirst(r.archive, "*", &info) == 0 && strcmp(info.file_name, "a.txt") == 0 &&
                         KestrelFindNext(r.archive, &info) == 0 && strcmp(info.file_name, "b.txt") == 0 &&
                         KestrelFindNext(r.archive, &info) == -1;
             EXPECT_NE(12321u, r.session()->port_listen_port);
             return found ? 1 : 0;
         },
         1, {"PORT 127,0,0,1,{port}", "LIST", "TYPE I", "PORT 127,0,0,1,{port}", "RETR Index"}, {}},
        // Servers announce what is left after the restart offset, or the whole file.
        {"resumed: 150 announces the 600 bytes after the offset",
         [&](Rig &r) {
             write_file(r.file("f.bin"), bytes.substr(0, 400));
             r.server.expect("REST", {"350 Restarting at 400."});
             r.server.expect("RETR", {"150 Opening BINARY mode data connection for f.bin (600 bytes)."})
                 .send_data(bytes.substr(400))
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "SIZE f.bin", "PASV", "REST 400", "RETR f.bin"}, {{"f.bin", bytes}}},
        // Without a size in the 150, the one SIZE gave before the restart counts.
        {"resumed: SIZE says 1000, 150 names none, 500 of the 600 arrive, 226",
         [&](Rig &r) {
             write_file(r.file("f.bin"), bytes.substr(0, 400));
             r.server.expect("SIZE", {"213 1000"});
             r.server.expect("REST", {"350 Restarting at 400."});
             r.server.expect("RETR", {"150 File status okay. About to open data connection."})
                 .send_data(bytes.substr(400, 500))
                 .final_reply({"226 Transfer complete."});
         },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         0, {"TYPE I", "SIZE f.bin", "PASV", "REST 400", "RETR f.bin"}, {{"f.bin", bytes.substr(0, 900)}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        c.script(rig);
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open_any_port());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
    }
}

// ---- Refusals ----

TEST(Faults, RefusedSteps)
{
    const std::string bytes = pattern(6000);
    struct Case {
        const char *label;
        int data_mode;
        std::function<void(Rig &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;
        Folder folder;
    } cases[] = {
        // The server keeps its current type; the transfer goes on.
        {"TYPE", DATA_MODE_PASSIVE,
         [](Rig &r) {
             r.server.expect("TYPE I", {"200 Type set to I"});  // the login's own
             r.server.expect("TYPE I", {"504 Command not implemented for that parameter"});
         },
         [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 1,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes}}},
        // A refused restart rewrites the partial file from its start.
        {"REST", DATA_MODE_PASSIVE,
         [&](Rig &r) {
             r.server.expect("REST", {"502 REST not implemented"});
             write_file(r.file("f.bin"), std::string(1000, 'p'));
         },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "SIZE f.bin", "PASV", "REST 1000", "RETR f.bin"}, {{"f.bin", bytes}}},
        // A resume over a local file longer than the remote one: vsftpd answers such a
        // REST with 350, sends nothing and 226. SIZE tells first; nothing is written.
        {"SIZE smaller than the local file", DATA_MODE_PASSIVE,
         [&](Rig &r) { write_file(r.file("f.bin"), bytes + "0123456789"); },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         0, {"TYPE I", "SIZE f.bin"}, {{"f.bin", bytes + "0123456789"}}},
        // Without SIZE the resume goes on as it always did.
        {"SIZE refused, local file longer", DATA_MODE_PASSIVE,
         [&](Rig &r) {
             r.server.expect("SIZE", {"502 SIZE not implemented"});
             r.server.expect("RETR", {"150 Opening"}).send_data("").final_reply({"226 Transfer complete"});
             write_file(r.file("f.bin"), bytes + "0123456789");
         },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "SIZE f.bin", "PASV", "REST 6010", "RETR f.bin"}, {{"f.bin", bytes + "0123456789"}}},
        {"SIZE equal to the local file", DATA_MODE_PASSIVE, [&](Rig &r) { write_file(r.file("f.bin"), bytes); },
         [](Rig &r) {
             KestrelSetResumeGetMode(r.archive, 1);
             return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
         },
         1, {"TYPE I", "SIZE f.bin", "PASV", "REST 6000", "RETR f.bin"}, {{"f.bin", bytes}}},
        // Automatic mode falls back to PORT in the same operation and stays there.
        {"PASV", DATA_MODE_AUTO, [](Rig &r) { r.server.expect("PASV", {"500 PASV not understood"}); },
         [](Rig &r) {
             int first = KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
             return first * 10 + KestrelExtract(r.archive, "f.bin", r.file("g.bin").c_str(), 0);
         },
         11,
         {"TYPE I", "PASV", "PORT 127,0,0,1,{port}", "RETR f.bin", "TYPE I", "PORT 127,0,0,1,{port}", "RETR f.bin"},
         {{"f.bin", bytes}, {"g.bin", bytes}}},
        // A server that refuses FEAT offers nothing: the listing is LIST's as it always was.
        {"FEAT", DATA_MODE_PASSIVE,
         [](Rig &r) {
             r.server.expect("FEAT", {"500 FEAT not understood"});
             r.server.set_listing(unix_line("a.txt"));
         },
         [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr) + 1; }, 1,
         {"PASV", "LIST", "TYPE I", "PASV", "RETR Index"}, {}},
        // MLSD refused after FEAT offered it: LIST at once, in the same listing, and only
        // LIST from then on. A refusal that is no "unknown command" (a wildcard MLSD does
        // not take) is tried again at the next listing.
        {"MLSD after FEAT offered it", DATA_MODE_PASSIVE,
         [](Rig &r) {
             r.server.expect("FEAT", {"211-Features:", " MLST type*;size*;modify*;", "211 End"});
             r.server.expect("MLSD", {"500 Unknown command"});
             r.server.set_listing(unix_line("a.txt"));
         },
         [](Rig &r) {
             return (KestrelFindFirst(r.archive, "*", nullptr) + 1) * 10 + KestrelFindFirst(r.archive, "*", nullptr) + 1;
         },
         11, {"PASV", "MLSD", "PASV", "LIST", "TYPE I", "PASV", "RETR Index", "PASV", "LIST", "TYPE I", "PASV", "RETR Index"},
         {}},
        {"MLSD of a wildcard", DATA_MODE_PASSIVE,
         [](Rig &r) {
             r.server.expect("FEAT", {"211-Features:", " MLST type*;size*;modify*;", "211 End"});
             r.server.expect("MLSD", {"501 Not a directory"});
             r.server.set_listing(unix_line("a.txt"));
         },
         [](Rig &r) {
             FtpSession *session = r.session();
             return (list_directory(session, r.listing(), "*.txt") + 1) * 10 + list_directory(session, r.listing(), "") + 1;
         },
         11, {"PASV", "MLSD *.txt", "PASV", "LIST *.txt", "TYPE I", "PASV", "RETR *.txt/Index", "PASV", "MLSD", "TYPE I",
              "PASV", "RETR Index"},
         {}},
        {"MKD", DATA_MODE_PASSIVE, [](Rig &r) { r.server.expect("MKD", {"550 Permission denied"}); },
         [](Rig &r) { return KestrelMkDir(r.archive, "d", 0); }, 0, {"MKD d"}, {}},
        {"RNFR", DATA_MODE_PASSIVE, [](Rig &r) { r.server.expect("RNFR", {"550 No such file"}); },
         [](Rig &r) { return KestrelMove(r.archive, "a", "b", 0); }, 0, {"RNFR a"}, {}},
        {"RNTO", DATA_MODE_PASSIVE, [](Rig &r) { r.server.expect("RNTO", {"553 Not allowed"}); },
         [](Rig &r) { return KestrelMove(r.archive, "a", "b", 0); }, 0, {"RNFR a", "RNTO b"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig(c.data_mode);
        rig.server.add_file("f.bin", bytes);
        c.script(rig);
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open_any_port());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
    }
}

// Over an IPv6 control connection the data connection is negotiated with EPSV and EPRT
// (RFC 2428) and still goes to the control connection's peer; a 229 reply that is not
// exactly "(<d><d><d>port<d>)" builds no connection.
TEST(Faults, ExtendedDataConnectionsOverIpv6)
{
    const std::string bytes = pattern(7000);
    auto extract = [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); };
    auto epsv_reply = [](const char *line) { return [line](Rig &r) { r.server.expect("EPSV", {line}); }; };
    struct Case {
        const char *label;
        int data_mode;
        std::function<void(Rig &)> script;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;
        bool file_kept;
    };
    std::vector<Case> cases = {
        {"EPSV", DATA_MODE_PASSIVE, [](Rig &) {}, extract, 1, {"TYPE I", "EPSV", "RETR f.bin"}, true},
        {"EPSV, listing", DATA_MODE_PASSIVE, [](Rig &r) { r.server.set_listing(unix_line("f.bin", 7000) + "\r\n"); },
         [](Rig &r) {
             EntryInfo info;
             int found = KestrelFindFirst(r.archive, "*", &info);
             return found == 0 && strcmp(info.file_name, "f.bin") == 0 ? 1 : 0;
         },
         1, {"EPSV", "LIST", "TYPE I", "EPSV", "RETR Index"}, false},
        {"EPSV, another delimiter", DATA_MODE_PASSIVE, epsv_reply("229 Extended (!!!{epsv}!)"), extract, 1,
         {"TYPE I", "EPSV", "RETR f.bin"}, true},
        {"EPRT", DATA_MODE_ACTIVE, [](Rig &) {}, extract, 1, {"TYPE I", "EPRT |2|::1|{port}|", "RETR f.bin"}, true},
        // Port 12321 held on ::1 and 127.0.0.1: EPRT names the free port taken instead.
        {"EPRT while 12321 is held", DATA_MODE_ACTIVE, [](Rig &r) { r.hold_active_port(); },
         [](Rig &r) {
             int result = KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
             EXPECT_NE(12321u, r.session()->port_listen_port);
             return result;
         },
         1, {"TYPE I", "EPRT |2|::1|{port}|", "RETR f.bin"}, true},
        {"EPRT listing while 12321 is held", DATA_MODE_ACTIVE,
         [](Rig &r) {
             r.hold_active_port();
             r.server.set_listing(unix_line("f.bin", 7000));
         },
         [](Rig &r) {
             EntryInfo info;
             int found = KestrelFindFirst(r.archive, "*", &info) == 0 && strcmp(info.file_name, "f.bin") == 0 &&
                         KestrelFindNext(r.archive, &info) == -1;
             EXPECT_NE(12321u, r.session()->port_listen_port);
             return found ? 1 : 0;
         },
         1, {"EPRT |2|::1|{port}|", "LIST", "TYPE I", "EPRT |2|::1|{port}|", "RETR Index"}, false},
        {"EPRT refused", DATA_MODE_ACTIVE, [](Rig &r) { r.server.expect("EPRT", {"522 Network protocol not supported"}); },
         extract, 0, {"TYPE I", "EPRT |2|::1|{port}|"}, false},
        // Automatic mode turns to EPRT in the same operation, and stays there.
        {"EPSV refused, automatic mode", DATA_MODE_AUTO, epsv_reply("500 EPSV not understood"),
         [](Rig &r) {
             int first = KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0);
             return first * 10 + KestrelExtract(r.archive, "f.bin", r.file("g.bin").c_str(), 0);
         },
         11, {"TYPE I", "EPSV", "EPRT |2|::1|{port}|", "RETR f.bin", "TYPE I", "EPRT |2|::1|{port}|", "RETR f.bin"},
         true},
        {"421 to EPSV, automatic mode", DATA_MODE_AUTO, epsv_reply("421 Closing"), extract, 0, {"TYPE I", "EPSV"},
         false},
    };
    // 229 replies that build no connection: no parenthesis, port 0, past 65535, none,
    // letters in it, delimiters that differ, unclosed, an address in the fields (which
    // stay empty in a 229), and a 227 in its place.
    for (const char *reply :
         {"229 Extended |||{epsv}|", "229 Extended (|||0|)", "229 Extended (|||65536|)", "229 Extended (||||)",
          "229 Extended (|||{epsv}x|)", "229 Extended (|||{epsv}!)", "229 Extended (|||{epsv}|",
          "229 Extended (|2|::1|{epsv}|)", "227 Entering Passive Mode ({pasv})"})
        cases.push_back({reply, DATA_MODE_PASSIVE, epsv_reply(reply), extract, 0, {"TYPE I", "EPSV"}, false});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig(c.data_mode, 0, true);
        rig.server.add_file("f.bin", bytes);
        c.script(rig);
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open_any_port());
        Folder folder = folder_of(rig.dir.path);
        if (c.file_kept) {
            EXPECT_EQ(bytes, folder["f.bin"]);
        } else {
            EXPECT_EQ(0u, folder.count("f.bin") ? folder["f.bin"].size() : 0u);
        }
        EXPECT_EQ(0, rig.server.refused_ports());
    }
}

// A name resolves to every address it has, and the open tries each in the resolver's
// order until one answers; an IPv6 address is written in brackets, and brackets around
// anything else are no URL. Every case checks what reached the server (on 127.0.0.1 or on
// ::1) and what the report shows.
int two_families(const char *name, NetAddress *addresses, int capacity)
{
    std::string n = name;
    const char *order[2] = {nullptr, nullptr};
    if (n == "six-then-four.test")
        order[0] = "::1", order[1] = "127.0.0.1";
    else if (n == "four-then-six.test")
        order[0] = "127.0.0.1", order[1] = "::1";
    else
        return -1;
    int count = 0;
    for (int i = 0; i < 2 && count < capacity; i++)
        net_parse_address(order[i], &addresses[count++]);
    return count;
}

TEST(Faults, AddressFormsAndFamilies)
{
    // The login, the open's folder and the listing (which looks for an index file too).
    const Lines login = {"USER u", "PASS p", "SYST", "FEAT", "TYPE I", "PWD"};
    const Lines six = {"EPSV", "LIST", "TYPE I", "EPSV", "RETR Index"};
    const Lines four = {"PASV", "LIST", "TYPE I", "PASV", "RETR Index"};
    auto join = [](Lines a, const Lines &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::string bad = "Error: Illegal URL syntax [";
    struct Case {
        const char *label;
        bool server_on_ipv6;
        const char *url;      // {port} becomes the server's port
        int checks;           // KestrelCheckArchive
        Lines after_login;    // empty: no connection at all
        std::string report;   // how the report begins
    } cases[] = {
        {"[::1]", true, "ftp://u:p@[::1]:{port}/", 1, join({"CWD /", "PWD"}, six), "Opening URL[ftp://u@[::1]:{port}/]\n"},
        {"[::1] without a path", true, "ftp://u:p@[::1]:{port}", 1, join({"CWD /", "PWD"}, six),
         "Opening URL[ftp://u@[::1]:{port}/]\n"},
        {"long form", true, "ftp://u:p@[0:0:0:0:0:0:0:1]:{port}/pub/", 1, join({"CWD /pub/", "PWD"}, six),
         "Opening URL[ftp://u@[0:0:0:0:0:0:0:1]:{port}/pub/]\n"},
        // The first address refuses: the next one is tried, and its family decides.
        {"name: ::1 refuses, 127.0.0.1 answers", false, "ftp://u:p@six-then-four.test:{port}/", 1,
         join({"CWD /", "PWD"}, four), "Opening URL[ftp://u@six-then-four.test:{port}/]\n"},
        {"name: 127.0.0.1 refuses, ::1 answers", true, "ftp://u:p@four-then-six.test:{port}/", 1,
         join({"CWD /", "PWD"}, six), "Opening URL[ftp://u@four-then-six.test:{port}/]\n"},
        {"unclosed bracket", true, "ftp://u:p@[::1:{port}/", 0, {}, bad + "ftp://u@[::1:{port}/]"},
        {"no opening bracket", true, "ftp://u:p@::1]:{port}/", 0, {}, bad},
        {"text after the bracket", true, "ftp://u:p@[::1]x:{port}/", 0, {}, bad},
        {"empty brackets", true, "ftp://u:p@[]:{port}/", 0, {}, bad},
        {"a name in brackets", true, "ftp://u:p@[localhost]:{port}/", 0, {}, bad},
        // Without brackets the first ':' ends the host: an empty one, which names nothing.
        {"no brackets at all", true, "ftp://u:p@::1:{port}/", 1, {},
         "Opening URL[ftp://u@:21/]\nError: Can't KestrelOpenArchive(0,ftp://u@:21/,0)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(DATA_MODE_PASSIVE, 0);
        FtpScriptServer server;
        server.set_auto_answer(true);
        server.set_ipv6(c.server_on_ipv6);
        server.set_listing(unix_line("f.bin") + "\r\n");
        ASSERT_TRUE(server.start());
        auto fill = [&](std::string text) {
            size_t at = text.find("{port}");
            if (at != std::string::npos)
                text.replace(at, 6, std::to_string(server.port()));
            return text;
        };
        std::string url = fill(c.url);
        net_set_resolver(two_families);
        EXPECT_EQ(c.checks, KestrelCheckArchive(url.c_str(), 0)) << url;
        char report[2000] = "";
        int result = Kestrel(nullptr, ("-l -i " + url).c_str(), report, (int)sizeof report - 1);
        net_set_resolver(nullptr);
        server.stop();
        std::string shown = report;
        EXPECT_EQ(0u, shown.rfind(fill(c.report), 0)) << shown;
        if (!c.after_login.empty()) {
            EXPECT_EQ(0, result) << shown;
            EXPECT_NE(std::string::npos, shown.find("f.bin")) << shown;
            EXPECT_EQ(join(login, c.after_login), server.commands());
        } else {
            EXPECT_NE(0, result);
            EXPECT_EQ(0, server.connections_accepted());
        }
    }
}

// Names cross into the caller's character set; a name it cannot show is given back as
// shown and still reaches the server as the server's own bytes. Shift_JIS bytes show as
// Japanese under a UTF-8 locale and as '?' under a western code page; a byte that is no
// UTF-8 passes unchanged where both sides are UTF-8 and shows as '?' elsewhere. Either
// way the DELE carries the listed bytes.
TEST(Faults, NamesInTheCallersCharacterSet)
{
    const std::string sjis = "\x93\xfa\x96\x7b.txt";  // 日本.txt in Shift_JIS
    struct Case {
        const char *label;
        const char *charset;
        Lines feat;
        std::string name;
        bool shown_differs;  // the caller never sees the server's bytes
        Lines login_tail;    // what follows FEAT in the login
    } cases[] = {
        {"a Shift_JIS server", "Shift_JIS", {"502 Command not implemented"}, sjis, true, {"TYPE I"}},
        {"a UTF-8 server and a name that is no UTF-8", "", {"211-Features:", " UTF8", " MLST type*;size*;", "211 End"},
         "bad\xff.txt", false, {"OPTS UTF8 ON", "TYPE I"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        text_copy(g_settings.ServerCharset, sizeof g_settings.ServerCharset, c.charset);
        g_settings.UseMLSD = 0;
        rig.server.expect("FEAT", c.feat);
        rig.server.set_listing(unix_line(c.name));
        ASSERT_NE(nullptr, rig.open_handle());
        Lines all = rig.server.commands();
        auto feat = std::find(all.begin(), all.end(), "FEAT");
        ASSERT_NE(all.end(), feat);
        EXPECT_EQ(c.login_tail, Lines(feat + 1, feat + 1 + (long)c.login_tail.size()));
        EntryInfo info;
        ASSERT_EQ(0, KestrelFindFirst(rig.archive, "*", &info));
        std::string shown = info.file_name;
        if (c.shown_differs) {
            EXPECT_NE(c.name, shown);
        }
        EXPECT_EQ(1, KestrelDelete(rig.archive, shown.c_str(), 0));
        EXPECT_EQ((Lines{"PASV", "LIST", "TYPE I", "PASV", "RETR Index", "DELE " + c.name}), rig.since_open());
        g_settings.ServerCharset[0] = '\0';
    }
}

// The URL's path is tried as it is and, when the server refuses it, relative to the login
// folder (servers that do not confine a user to it); the open's whole transcript is checked.
TEST(Faults, UrlPathReadings)
{
    const Lines login = {"USER u", "PASS p", "SYST", "FEAT", "TYPE I", "PWD"};
    struct Case {
        const char *label;
        const char *path;
        std::function<void(FtpScriptServer &)> script;
        bool opens;
        const char *folder;  // the session's current folder once open
        Lines commands;      // after the login's PWD
    } cases[] = {
        {"absolute path taken", "/pub/", [](FtpScriptServer &s) { s.expect("CWD /pub/", {"250 OK"}); }, true, "/",
         {"CWD /pub/", "PWD"}},
        {"absolute path refused, relative taken", "/pub/",
         [](FtpScriptServer &s) {
             s.expect("PWD", {"257 \"/home/u\""});  // the login's
             s.expect("CWD /pub/", {"550 /pub/: No such file or directory."});
             s.expect("CWD pub/", {"250 OK"});
             s.expect("PWD", {"257 \"/home/u/pub\" is the current directory"});
         },
         true, "/home/u/pub", {"CWD /pub/", "CWD pub/", "PWD"}},
        {"the root refused: the login folder", "/",
         [](FtpScriptServer &s) { s.expect("CWD /", {"550 Permission denied."}); }, true, "/", {"CWD /", "PWD"}},
        {"a nested path refused, relative refused too", "/a/b",
         [](FtpScriptServer &s) {
             s.expect("CWD /a/b", {"550 No such directory."});
             s.expect("CWD a/b", {"550 No such directory."});
         },
         false, "", {"CWD /a/b", "CWD a/b"}},
        // Only a refusal is read the other way.
        {"421 to the CWD: nothing more", "/pub/",
         [](FtpScriptServer &s) { s.expect("CWD /pub/", {"421 Service not available, closing control connection."}); },
         false, "", {"CWD /pub/"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(DATA_MODE_PASSIVE, 0);
        FtpScriptServer server;
        server.set_auto_answer(true);
        c.script(server);
        ASSERT_TRUE(server.start());
        std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(server.port()) + c.path;
        HARC archive = KestrelOpenArchive(nullptr, url.c_str(), 2);
        EXPECT_EQ(c.opens, archive != nullptr);
        if (archive) {
            EXPECT_STREQ(c.folder, handle_session(archive)->current_dir);
        }
        KestrelCloseArchive(archive);
        server.stop();
        Lines all = login;
        all.insert(all.end(), c.commands.begin(), c.commands.end());
        EXPECT_EQ(all, server.commands());
    }
}

TEST(Faults, FullLocalDiskFailsTheDownload)
{
    std::error_code error;
    if (!xfer::fs::is_character_file("/dev/full", error))
        GTEST_SKIP() << "no /dev/full here (the Windows build under Wine) to stand for a full disk";
    Rig rig;
    std::string bytes = pattern(100000);
    rig.server.add_file("f.bin", bytes);
    ASSERT_NE(nullptr, rig.open_handle());
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, KestrelExtract(rig.archive, "f.bin", "/dev/full", 0));
    EXPECT_LT(elapsed_ms(started), kBoundMs);
    // The handle goes on working.
    EXPECT_EQ(1, KestrelExtract(rig.archive, "f.bin", rig.file("f.bin").c_str(), 0));
    EXPECT_EQ((Folder{{"f.bin", bytes}}), folder_of(rig.dir.path));
    EXPECT_EQ((Lines{"TYPE I", "PASV", "RETR f.bin", "TYPE I", "PASV", "RETR f.bin"}), rig.since_open());
}

// ---- Hostile names and addresses ----

// A local name taken from a remote name never leaves its destination: the folder given,
// or, without one, the current folder. A local name the caller gives is used as given.
TEST(Faults, RemoteNamesNeverLeaveTheDestination)
{
    const bool backslash_separates = platform_is_path_separator('\\') != 0;
    Rig rig;
    const xfer::fs::path work = rig.dir.path / "a" / "b" / "work";
    xfer::fs::create_directories(work / "dest");
    const std::string absolute = (rig.dir.path / "abs.txt").generic_string();
    const std::string escape = "..\\..\\bs_escape.txt";
    for (const std::string &name : {escape, std::string("dir/../../up.txt"), std::string("ok.txt")})
        rig.server.add_file(name, "<" + name + ">");
    rig.server.set_listing(unix_line("../escape.txt") + unix_line("ok.txt"));
    struct Case {
        std::string remote;
        const char *destination;  // null: no local name
        int expected;
        Lines commands;
        Folder added;             // files below the rig's folder afterwards
    } cases[] = {
        // On Windows '\' steps out of a folder as '/' does; on Linux it is part of a name.
        {escape, "dest/", 1, {"TYPE I", "PASV", "RETR " + escape},
         {{backslash_separates ? "a/b/work/dest/bs_escape.txt" : "a/b/work/dest/" + escape, "<" + escape + ">"}}},
        {"dir/../../up.txt", "dest/", 1, {"TYPE I", "PASV", "RETR dir/../../up.txt"},
         {{"a/b/work/dest/up.txt", "<dir/../../up.txt>"}}},
        {"..", "dest/", 0, {}, {}},
        {"../escape.txt", nullptr, 0, {}, {}},
        {escape, nullptr, 0, {}, {}},
        {"sub/../../x.txt", nullptr, 0, {}, {}},
        {absolute, nullptr, 0, {}, {}},
        {"\\abs.txt", nullptr, 0, {}, {}},
        {"C:evil.txt", nullptr, 0, {}, {}},
        {"ok.txt", nullptr, 1, {"TYPE I", "PASV", "RETR ok.txt"}, {{"a/b/work/ok.txt", "<ok.txt>"}}},
    };
    const xfer::fs::path previous = xfer::fs::current_path();
    xfer::fs::current_path(work);
    ASSERT_NE(nullptr, rig.open_handle());
    Folder expected;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.remote + " -> " + (c.destination ? c.destination : "(null)"));
        size_t before = rig.server.commands().size();
        EXPECT_EQ(c.expected, KestrelExtract(rig.archive, c.remote.c_str(), c.destination, 0));
        Lines all = rig.server.commands();
        EXPECT_EQ(c.commands, Lines(all.begin() + (long)before, all.end()));
        expected.insert(c.added.begin(), c.added.end());
        EXPECT_EQ(expected, tree_of(rig.dir.path));
    }
    // A caller that extracts every listed name without a local name.
    std::vector<int> results;
    EntryInfo info;
    for (int found = KestrelFindFirst(rig.archive, "*", &info); found == 0; found = KestrelFindNext(rig.archive, &info))
        results.push_back(KestrelExtract(rig.archive, info.file_name, nullptr, 0));
    xfer::fs::current_path(previous);
    EXPECT_EQ((std::vector<int>{0, 1}), results);
    EXPECT_EQ(expected, tree_of(rig.dir.path));
}

// A 227 that names another address gives its port only: the data connection goes to the
// control connection's peer, and a listener at the named address never hears from us.
TEST(Faults, PassiveReplyNamingAnotherAddress)
{
    net_startup();
    // The server listens for the data connection on 127.0.0.1 at the decoy's port, so that
    // port must be free there too.
    NetAddress address, peer_address;
    net_parse_address("127.0.0.2", &address);
    net_parse_address("127.0.0.1", &peer_address);
    uint16_t port = quiet_port({address, peer_address});
    ASSERT_NE(0, port);
    net_socket_t decoy = net_socket_tcp();
    ASSERT_EQ(0, net_bind(decoy, address, port));
    ASSERT_EQ(0, net_listen(decoy, 4));
    const std::string bytes = pattern(5000);
    struct Case {
        const char *label;
        std::function<int(Rig &)> operation;
        int expected;
        Lines commands;
        Folder folder;
    } cases[] = {
        {"listing", [](Rig &r) { return KestrelFindFirst(r.archive, "*", nullptr); }, 0,
         {"PASV", "LIST", "TYPE I", "PASV", "RETR Index"}, {}},
        {"download", [](Rig &r) { return KestrelExtract(r.archive, "f.bin", r.file("f.bin").c_str(), 0); }, 1,
         {"TYPE I", "PASV", "RETR f.bin"}, {{"f.bin", bytes}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        rig.server.set_passive_announce("127,0,0,2", port);
        rig.server.add_file("f.bin", bytes);
        rig.server.set_listing(unix_line("f.bin", 5000));
        ASSERT_NE(nullptr, rig.open_handle());
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.expected, c.operation(rig));
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        EXPECT_EQ(c.commands, rig.since_open());
        EXPECT_EQ(c.folder, folder_of(rig.dir.path));
        EXPECT_EQ(0, net_wait(decoy, 0, 100)) << "a connection reached 127.0.0.2";
    }
    net_close(decoy);
}

// The command lines a server read in clear: a TLS handshake that reaches a line-reading
// server comes out as lines of binary bytes, which are not commands anyone sent. Its
// random fields hold line ends too, so a short run of them can be all printable ("S"
// has been seen): only a line shaped like a command, a verb of three or four letters
// alone or before a blank, counts.
Lines clear_commands(const Lines &lines)
{
    Lines clear;
    for (const std::string &line : lines) {
        size_t verb = 0;
        while (verb < line.size() && isalpha((unsigned char)line[verb]))
            verb++;
        bool text = (verb == 3 || verb == 4) && (verb == line.size() || line[verb] == ' ');
        for (unsigned char c : line)
            text = text && c >= 0x20 && c < 0x7f;
        if (text)
            clear.push_back(line);
    }
    return clear;
}

// Opens that ask for TLS and cannot have it: a refusal, a server that stops in the middle
// of the handshake (a cancel or the time limit ends it), a server that hangs up. Each
// fails the open with its reason, and no USER or PASS ever crosses in clear.
TEST(Faults, TlsOpensThatFail)
{
    enum End { AT_ONCE, CANCEL, TIME_LIMIT };
    struct Case {
        const char *label;
        const char *scheme;
        std::function<void(FtpScriptServer &)> script;
        End end;
        Lines clear;         // what the server read in clear
        const char *reason;  // the failed-open report's reason
    } cases[] = {
        {"AUTH TLS refused", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"502 Command not implemented"}); }, AT_ONCE, {"AUTH TLS"},
         "TLS: the server refused AUTH TLS (reply 502)"},
        // Only 234 starts TLS: another success code would leave the login in clear.
        {"AUTH TLS answered 200", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"200 OK"}); }, AT_ONCE, {"AUTH TLS"},
         "TLS: the server refused AUTH TLS (reply 200)"},
        {"AUTH TLS answered 334", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"334 ADAT=more"}); }, AT_ONCE, {"AUTH TLS"},
         "TLS: the server refused AUTH TLS (reply 334)"},
        {"AUTH TLS granted, then no answer to the handshake, cancelled", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"234 Proceed"}); s.expect("").silence(); }, CANCEL,
         {"AUTH TLS"}, "TLS: handshake cancelled or timed out"},
        {"AUTH TLS granted, then no answer to the handshake, time limit", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"234 Proceed"}); s.expect("").silence(); }, TIME_LIMIT,
         {"AUTH TLS"}, "TLS: handshake cancelled or timed out"},
        {"AUTH TLS granted with replies in clear behind it", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"234 Proceed", "331 Password", "230 Logged in"}); },
         AT_ONCE, {"AUTH TLS"}, "TLS: the server sent more in clear after AUTH TLS"},
        {"AUTH TLS granted, then the server hangs up", "ftpes",
         [](FtpScriptServer &s) { s.expect("AUTH TLS", {"234 Proceed"}).close_connection(); }, AT_ONCE,
         {"AUTH TLS"}, "TLS: server closed the connection during the handshake"},
        {"implicit TLS, the server never answers the handshake, cancelled", "ftps",
         [](FtpScriptServer &s) { s.greeting().silence(); }, CANCEL, {}, "TLS: handshake cancelled or timed out"},
        {"implicit TLS, the server never answers the handshake, time limit", "ftps",
         [](FtpScriptServer &s) { s.greeting().silence(); }, TIME_LIMIT, {},
         "TLS: handshake cancelled or timed out"},
        // A plain server's greeting is no handshake.
        {"implicit TLS, a plain server greets in clear", "ftps", [](FtpScriptServer &) {}, AT_ONCE, {},
         "TLS: handshake failed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(DATA_MODE_PASSIVE, c.end == TIME_LIMIT ? kTimeoutSeconds : 0);
        FtpScriptServer server;
        server.set_auto_answer(true);
        c.script(server);
        ASSERT_TRUE(server.start());
        std::string url = std::string(c.scheme) + "://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
        HARC handle = frame_new_handle();
        ASSERT_NE(nullptr, handle);
        CancelRun run = run_cancelled([&] { return frame_open_handle(handle, url.c_str(), 2); },
                                      [&] { return server.wait_for_connection(5000); },
                                      [&] {
                                          if (c.end == CANCEL)
                                              KestrelCancel(handle, 0);
                                      });
        EXPECT_EQ(-1, run.result);
        std::string reason = kestrel_open_failure(handle);
        EXPECT_EQ(0u, reason.rfind(c.reason, 0)) << reason;
        if (c.end == CANCEL) {
            EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
            EXPECT_LT(run.after_cancel_ms, kBoundMs);
        } else if (c.end == TIME_LIMIT) {
            EXPECT_GE(run.total_ms, kTimeoutEarliestMs - 50);
            EXPECT_LT(run.total_ms, kTimeoutLatestMs);
        } else {
            EXPECT_LT(run.total_ms, kBoundMs);
        }
        EXPECT_EQ(nullptr, handle_session(handle)->control);
        Lines clear = clear_commands(server.commands());
        EXPECT_EQ(c.clear, clear);
        for (const std::string &line : server.commands())
            EXPECT_TRUE(line.rfind("USER", 0) != 0 && line.rfind("PASS", 0) != 0) << line;
        KestrelCloseArchive(handle);
    }
}

// The scripted TLS server (tests/servers/tls-script-server.py) plays one case per login:
// the login's words say what it gets wrong. It serves the files of its home folder and
// writes each session's commands there as <login>.commands.
TEST(Faults, TlsDataConnectionsThatComeOutWrong)
{
#ifdef _WIN32
    // SChannel refuses a request to renegotiate, and the transfer fails.
    const char *kRenegotiation = "TLS: the server asked to renegotiate TLS (refused)";
    const int kRenegotiatedWhole = 0;
#else
    // OpenSSL answers it with a new handshake, which this server never completes: the data
    // connection ends without close_notify, and only a known size makes the bytes whole.
    const char *kRenegotiation = nullptr;
    const int kRenegotiatedWhole = 1;
#endif
    std::vector<RealServer> found = real_servers_of("KESTREL_FTP_TLS_SCRIPT");
    if (found.empty()) {
        if (real_servers_required())
            FAIL() << "KESTREL_REQUIRE_SERVERS is set but KESTREL_FTP_TLS_SCRIPT is empty";
        GTEST_SKIP() << "no scripted TLS server (run under tests/servers/with-servers)";
    }
    // Under Wine the server's Unix paths lie on drive Z:.
    auto reached = [](const std::string &path) {
        std::error_code error;
        return xfer::fs::exists(path, error) ? path : "Z:" + path;
    };
    const std::string home = reached(found[0].user_home), ca = reached(real_tls_certs() + "/ca.pem");
    const std::string file = read_file(home + "/data.bin"), half = file.substr(0, file.size() / 2);
    ASSERT_EQ(307200u, file.size());
    const Lines get = {"TYPE I", "PASV", "RETR data.bin"}, get_active = {"TYPE I", "PORT 127,0,0,1,{port}", "RETR data.bin"};
    const Lines all = {"readme.txt", "the-second-entry-whose-name-is-long-enough-to-be-cut.bin", "inner.txt"};
    enum Operation { OPEN, LIST, GET, RESUME };
    struct Case {
        const char *label;
        const char *login;
        int data_mode;
        Operation operation;
        int expected;   // the operation's result; OPEN: the open's (0 or -1)
        Lines commands; // since the login; OPEN: all of them
        Folder folder;  // GET, RESUME: the local folder after it
        Lines kept;     // LIST: the names in the store after it
        const char *reason = nullptr;  // OPEN, GET: how the failure's reason begins
    } cases[] = {
        {"PBSZ and PROT P answered 200, listing and download", "plain", DATA_MODE_PASSIVE, LIST, 0,
         {"PASV", "LIST", "TYPE I", "PASV", "RETR Index"}, {}, all},
        {"a download that ends with close_notify, no size known", "plain", DATA_MODE_PASSIVE, GET, 1, get,
         {{"data.bin", file}}, {}},
        // Only 200 grants PBSZ and PROT P: another code leaves the data connections unprotected.
        {"PBSZ answered 234", "pbsz234", DATA_MODE_PASSIVE, OPEN, -1, {"AUTH TLS", "USER pbsz234", "PASS pw", "PBSZ 0"},
         {}, {}, "TLS: the server refused PBSZ 0 (reply 234)"},
        {"PROT P answered 202", "prot202", DATA_MODE_PASSIVE, OPEN, -1,
         {"AUTH TLS", "USER prot202", "PASS pw", "PBSZ 0", "PROT P"}, {}, {}, "TLS: the server refused PROT P (reply 202)"},
        // Active mode: the client speaks first on a TLS data connection, and only the
        // control connection's peer may make it.
        {"active: 150 before the server connects", "late", DATA_MODE_ACTIVE, GET, 1, get_active, {{"data.bin", file}}, {}},
        {"active: a stranger from 127.0.0.3 with a good certificate comes first", "intruder", DATA_MODE_ACTIVE, GET, 1,
         get_active, {{"data.bin", file}}, {}},
        {"active: 150 first, then the stranger, then the server", "late-intruder", DATA_MODE_ACTIVE, GET, 1,
         get_active, {{"data.bin", file}}, {}},
        // An end without close_notify may be a cut: only a size known beforehand tells.
        {"a listing cut inside a line without close_notify", "cut-half", DATA_MODE_PASSIVE, LIST, -1, {"PASV", "LIST"},
         {}, {"readme.txt"}},
        {"a whole listing without close_notify", "cut", DATA_MODE_PASSIVE, LIST, -1, {"PASV", "LIST"}, {}, all},
        {"a download without close_notify, 150 names the size, all bytes", "cut-sized", DATA_MODE_PASSIVE, GET, 1, get,
         {{"data.bin", file}}, {}},
        {"a download without close_notify, 150 names the size, half the bytes", "cut-sized-half", DATA_MODE_PASSIVE, GET,
         0, get, {{"data.bin", half}}, {}},
        {"a resumed download without close_notify, SIZE known, all bytes", "cut-size", DATA_MODE_PASSIVE, RESUME, 1,
         {"TYPE I", "SIZE data.bin", "PASV", "REST 1000", "RETR data.bin"}, {{"data.bin", file}}, {}},
        {"a download without close_notify, no size known", "cut", DATA_MODE_PASSIVE, GET, 0, get, {{"data.bin", file}},
         {}, "protocol: the data connection ended without TLS's closing alert"},
        // PROT P granted: a data connection in clear is no transfer.
        {"a listing in clear after PROT P", "clear", DATA_MODE_PASSIVE, LIST, -1, {"PASV", "LIST"}, {}, {},
         "TLS: handshake failed"},
        {"a download in clear after PROT P", "clear", DATA_MODE_PASSIVE, GET, 0, get, {{"data.bin", ""}}, {},
         "TLS: handshake failed"},
        // Only close_notify ends a TLS stream well: an alert that breaks it is no end.
        {"a fatal alert in clear half-way through a download, no size known", "alert-half", DATA_MODE_PASSIVE, GET, 0,
         get, {{"data.bin", half}}, {}, "TLS: "},
        {"a fatal alert under the protection half-way through a download, no size known", "sealed-half",
         DATA_MODE_PASSIVE, GET, 0, get, {{"data.bin", half}}, {}, "TLS: "},
        // A server that asks to renegotiate in mid-stream (see kRenegotiation).
        {"a renegotiation request half-way through a download", "reneg-half", DATA_MODE_PASSIVE, GET, 0, get,
         {{"data.bin", half}}, {}, kRenegotiation},
        {"a renegotiation request after a whole download whose size 150 named", "reneg-sized", DATA_MODE_PASSIVE, GET,
         kRenegotiatedWhole, get, {{"data.bin", file}}, {}, kRenegotiation},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(c.data_mode, 5);  // a wait the client should not make ends all the same
        g_settings.TlsVerify = 1;
        text_copy(g_settings.TlsCaFile, sizeof g_settings.TlsCaFile, ca.c_str());
        xfer::TempDir dir;
        auto transcript = [&] {
            Lines lines;
            std::string text = read_file(home + "/" + c.login + ".commands");
            for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
                lines.push_back(text.substr(at, end - at));
            return lines;
        };
        std::string url = "ftpes://" + std::string(c.login) + ":pw@127.0.0.1:" + std::to_string(found[0].port) + "/";
        HARC handle = frame_new_handle();
        ASSERT_NE(nullptr, handle);
        auto started = std::chrono::steady_clock::now();
        int opened = frame_open_handle(handle, url.c_str(), 2);
        Lines login = transcript();
        int result = opened;
        if (c.operation == OPEN) {
            EXPECT_EQ(c.commands, login);
            if (c.reason) {
                EXPECT_STREQ(c.reason, kestrel_open_failure(handle));
            }
        } else if (opened == 0) {
            if (c.operation == LIST) {
                result = KestrelFindFirst(handle, "*", nullptr);
                Lines kept;
                for (const StoredEntry *e = list_first(handle_listing(handle)); e; e = list_after(handle_listing(handle), e))
                    kept.push_back(entry_name(e));
                EXPECT_EQ(c.kept, kept);
                EXPECT_EQ(c.expected != 0, listing_failed(handle_listing(handle)) == 1);
            } else {
                if (c.operation == RESUME) {
                    write_file(dir.file("data.bin"), file.substr(0, 1000));
                    KestrelSetResumeGetMode(handle, 1);
                }
                result = KestrelExtract(handle, "data.bin", dir.file("data.bin").c_str(), 0);
                EXPECT_EQ(c.folder, folder_of(dir.path));
            }
            char reason[256] = "";
            KestrelGetErrorEx(handle, reason, (int)sizeof reason);
            if (c.reason) {
                EXPECT_EQ(0u, std::string(reason).rfind(c.reason, 0)) << reason;
            }
            Lines all_lines = transcript();
            std::vector<unsigned> ports;
            EXPECT_EQ(c.commands,
                      xfer::active_ports_out(Lines(all_lines.begin() + (long)login.size(), all_lines.end()), &ports));
            if (!ports.empty()) {
                EXPECT_EQ(handle_session(handle)->port_listen_port, ports.back());
            }
        }
        EXPECT_EQ(c.expected, result);
        EXPECT_LT(elapsed_ms(started), kBoundMs);
        KestrelCloseArchive(handle);
    }
}

// ---- Why it failed: every failure keeps its category and its reason on the handle ----

TEST(Faults, EveryFailureKeepsItsReason)
{
    enum End { AT_ONCE, CANCEL, TIME_LIMIT };
    struct Case {
        const char *label;
        std::string url;  // empty: the scripted server's ftp:// URL
        std::function<void(FtpScriptServer &)> script;
        End end;
        std::function<int(HARC, const std::string &)> operation;  // null: the open itself fails
        int kind;
        const char *text;  // how the text ends; null: any text but an empty one
        Lines commands;    // after the open
        const char *shown; // how KestrelGetErrorEx and the report's line begin
    } cases[] = {
        {"refused connect on a quiet port", "ftp://u:p@127.0.0.1:" + std::to_string(closed_port()) + "/",
         nullptr, AT_ONCE, nullptr, FAILURE_REFUSED, nullptr, {}, "connection refused"},
        {"not an FTP URL", "http://127.0.0.1:1/", nullptr, AT_ONCE, nullptr, KESTREL_FAILURE_USAGE,
         "not an FTP URL: http", {}, "not an FTP URL: http"},
        {"unknown name", "ftp://u:p@no-such-host.test/", nullptr, AT_ONCE, nullptr, FAILURE_NAME,
         "no address for no-such-host.test", {},
         "name not found: no address for no-such-host.test"},
        {"silent greeting, time limit", "", [](FtpScriptServer &s) { s.greeting().silence(); }, TIME_LIMIT, nullptr,
         FAILURE_TIME_LIMIT, "nothing happened for 2 s", {}, "time limit: nothing happened for 2 s"},
        {"silent greeting, cancelled", "", [](FtpScriptServer &s) { s.greeting().silence(); }, CANCEL, nullptr,
         FAILURE_CANCELLED, "cancelled", {}, "cancelled"},
        {"530 to PASS", "", [](FtpScriptServer &s) { s.expect("PASS", {"530 Login incorrect."}); }, AT_ONCE,
         nullptr, FAILURE_LOGIN, "530 Login incorrect.", {}, "login refused: 530 Login incorrect."},
        {"AUTH TLS refused", "ftpes", [](FtpScriptServer &s) { s.expect("AUTH TLS", {"502 Not here"}); }, AT_ONCE,
         nullptr, FAILURE_TLS, "TLS: the server refused AUTH TLS (reply 502)", {},
         "TLS: the server refused AUTH TLS (reply 502)"},
        {"550 to RETR", "", [](FtpScriptServer &s) { s.expect("RETR", {"550 No such file."}); }, AT_ONCE,
         [](HARC h, const std::string &dir) { return KestrelExtract(h, "f.bin", (dir + "/f.bin").c_str(), 0); },
         FAILURE_SERVER, "550 No such file.", {"TYPE I", "PASV", "RETR f.bin"}, "550 No such file."},
        // The local file is made before RETR: a local failure costs no transfer.
        {"local file under a plain file", "", nullptr, AT_ONCE,
         [](HARC h, const std::string &dir) {
             write_file(dir + "/plain", "x");
             return KestrelExtract(h, "f.bin", (dir + "/plain/f.bin").c_str(), 0);
         },
         FAILURE_LOCAL_FILE, "Not a directory", {}, "local file: "},
        {"CWD of the URL's path refused read both ways", "/pub/",
         [](FtpScriptServer &s) {
             s.expect("CWD /pub/", {"550 /pub/: No such file or directory."});
             s.expect("CWD pub/", {"550 pub/: No such file or directory."});
         },
         AT_ONCE, nullptr, FAILURE_SERVER, "550 /pub/: No such file or directory.", {},
         "550 /pub/: No such file or directory."},
        {"connection closed before MKD's reply", "", [](FtpScriptServer &s) { s.expect("MKD").close_connection(); },
         AT_ONCE, [](HARC h, const std::string &) { return KestrelMkDir(h, "d", 0); }, FAILURE_PROTOCOL,
         "the server closed the connection", {"MKD d"},
         "protocol: the server closed the connection"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(DATA_MODE_PASSIVE, c.end == TIME_LIMIT ? kTimeoutSeconds : 0);
        FtpScriptServer server;
        server.set_auto_answer(true);
        server.add_file("f.bin", "0123456789");
        if (c.script)
            c.script(server);
        ASSERT_TRUE(server.start());
        xfer::TempDir dir;
        std::string url = c.url;
        if (url.empty() || url == "ftpes")
            url = (url.empty() ? "ftp" : url) + "://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
        else if (url[0] == '/')
            url = "ftp://u:p@127.0.0.1:" + std::to_string(server.port()) + url;
        HARC handle = frame_new_handle();
        ASSERT_NE(nullptr, handle);
        net_set_resolver([](const char *, NetAddress *, int) { return -1; });
        CancelRun run = run_cancelled([&] { return frame_open_handle(handle, url.c_str(), 2); },
                                      [&] { return c.end != CANCEL || server.wait_for_connection(5000); },
                                      [&] {
                                          if (c.end == CANCEL)
                                              KestrelCancel(handle, 0);
                                      });
        net_set_resolver(nullptr);
        size_t opened_at = server.commands().size();
        if (c.operation) {
            ASSERT_EQ(0, run.result);
            EXPECT_EQ(0, c.operation(handle, dir.path.string()));
        } else {
            EXPECT_EQ(-1, run.result);
        }
        const Failure &failure = handle_session(handle)->failure;
        EXPECT_EQ(c.kind, failure.kind) << failure.text;
        std::string text = failure.text;
        if (c.text == nullptr)
            EXPECT_NE("", text);
        else
            EXPECT_TRUE(text.size() >= strlen(c.text) && text.compare(text.size() - strlen(c.text), std::string::npos,
                                                                      c.text) == 0)
                << text;
        Lines all = server.commands();
        EXPECT_EQ(c.commands, Lines(all.begin() + (long)std::min(opened_at, all.size()), all.end()));
        // The export gives the category and the text a caller shows; the command entry's
        // report adds that text as one line.
        char shown[256] = "";
        EXPECT_EQ(c.kind, KestrelGetErrorEx(handle, shown, (int)sizeof shown));
        EXPECT_EQ(0u, std::string(shown).rfind(c.shown, 0)) << shown;
        char area[400] = "";
        OutputBuffer *report = output_create(area, (int)sizeof area - 1);
        command_failure_reason(report, handle);
        output_destroy(report);
        EXPECT_EQ("Error: " + std::string(shown) + "\n", std::string(area));
        // An open that gives no handle keeps its reason for the thread that asked (the
        // scripted server takes one control connection: only for URLs that need none).
        if (!c.operation && c.end == AT_ONCE && !c.url.empty() && c.url != "ftpes" && c.url[0] != '/') {
            net_set_resolver([](const char *, NetAddress *, int) { return -1; });
            EXPECT_EQ(nullptr, KestrelOpenArchive(nullptr, url.c_str(), 2));
            net_set_resolver(nullptr);
            char again[256] = "";
            EXPECT_EQ(c.kind, KestrelGetErrorEx(nullptr, again, (int)sizeof again));
            EXPECT_EQ(0u, std::string(again).rfind(c.shown, 0)) << again;
        }
        KestrelCloseArchive(handle);
    }
}

// ---- A handle made before its connect: a cancel reaches each step of the open ----

// The open through KestrelNewArchiveEx and KestrelOpenArchiveEx, cancelled with
// KestrelCancel from another thread while it connects, shakes hands or logs in. A
// per-handle time limit of a minute is set and must not be what ends it.
TEST(Faults, OpenThroughTheExportsEndsWithACancel)
{
    DroppedSynPort port;
    struct Case {
        const char *label;
        const char *scheme;
        std::function<void(FtpScriptServer &)> script;  // null: the dropped-SYN port
        int kind;
        const char *shown;  // how the reason begins
    } cases[] = {
        {"connect: the SYN is never answered", "ftp", nullptr, KESTREL_FAILURE_CANCELLED, "cancelled"},
        {"TLS handshake: the server never answers it", "ftps", [](FtpScriptServer &s) { s.greeting().silence(); },
         KESTREL_FAILURE_TLS, "TLS: handshake cancelled"},
        {"login: PASS is never answered", "ftp", [](FtpScriptServer &s) { s.expect("PASS").silence(); },
         KESTREL_FAILURE_CANCELLED, "cancelled"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        if (!c.script && !port.usable) {
            std::printf("[  skip    ] %s: this system answers SYNs to a full listener\n", c.label);
            continue;
        }
        use_settings(DATA_MODE_PASSIVE);
        FtpScriptServer server;
        server.set_auto_answer(true);
        std::string url;
        if (c.script) {
            c.script(server);
            ASSERT_TRUE(server.start());
            url = std::string(c.scheme) + "://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
        } else {
            url = std::string(c.scheme) + "://u:p@127.0.0.1:" + std::to_string(port.port) + "/";
        }
        HARC handle = KestrelNewArchiveEx();
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(1, KestrelSetOptionEx(handle, "Timeout", "60"));
        CancelRun run = run_cancelled([&] { return KestrelOpenArchiveEx(handle, url.c_str(), 2); },
                                      [&] { return c.script ? server.wait_for_connection(5000) : true; },
                                      [&] { KestrelCancel(handle, 0); });
        EXPECT_EQ(0, run.result);
        EXPECT_GE(run.after_cancel_ms, 0) << "ended before the cancel";
        EXPECT_LT(run.after_cancel_ms, kBoundMs);
        char shown[256] = "";
        EXPECT_EQ(c.kind, KestrelGetErrorEx(handle, shown, (int)sizeof shown));
        EXPECT_EQ(0u, std::string(shown).rfind(c.shown, 0)) << shown;
        KestrelCloseArchive(handle);
    }
}

// Options set on one handle win over the stored settings for that handle only; a wrong
// option or one set too late is refused with its reason and changes nothing.
TEST(Faults, HandleOptionsOverrideTheStoredSettings)
{
    struct Option {
        const char *name;
        const char *value;
        int accepted;
    };
    struct Case {
        const char *label;
        int stored_mode;
        std::vector<Option> options;
        std::function<void(FtpScriptServer &)> script;
        const char *scheme;
        int opened;
        int kind;           // after the open
        Lines commands;     // a listing after the open
        long long least_ms; // the open takes at least this long
    } cases[] = {
        {"a 1 s limit over a stored none ends a silent greeting", DATA_MODE_PASSIVE, {{"timeout", "1", 1}},
         [](FtpScriptServer &s) { s.greeting().silence(); }, "ftp", 0, KESTREL_FAILURE_TIME_LIMIT, {}, 900},
        {"passive over a stored active", DATA_MODE_ACTIVE, {{"PassiveMode", "passive", 1}}, nullptr, "ftp", 1,
         KESTREL_FAILURE_NONE, {"PASV", "LIST"}, 0},
        {"mode as a number", DATA_MODE_ACTIVE, {{"PassiveMode", "1", 1}}, nullptr, "ftp", 1, KESTREL_FAILURE_NONE,
         {"PASV", "LIST"}, 0},
        {"wrong values and names change nothing", DATA_MODE_PASSIVE,
         {{"PassiveMode", "sideways", 0}, {"Timeout", "-1", 0}, {"Timeout", "2x", 0}, {"TlsVerify", "2", 0},
          {"Colour", "blue", 0}},
         nullptr, "ftp", 1, KESTREL_FAILURE_NONE, {"PASV", "LIST"}, 0},
        {"a CA file that cannot be read fails a TLS open before it connects", DATA_MODE_PASSIVE,
         {{"TlsVerify", "1", 1}, {"TlsCaFile", "/nonexistent/kestrel-ca.pem", 1}}, nullptr, "ftpes", 0,
         KESTREL_FAILURE_TLS, {}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        use_settings(c.stored_mode);
        FtpScriptServer server;
        server.set_auto_answer(true);
        server.set_listing(unix_line("a.txt"));
        if (c.script)
            c.script(server);
        ASSERT_TRUE(server.start());
        std::string url = std::string(c.scheme) + "://u:p@127.0.0.1:" + std::to_string(server.port()) + "/";
        HARC handle = KestrelNewArchiveEx();
        ASSERT_NE(nullptr, handle);
        for (const Option &option : c.options) {
            SCOPED_TRACE(option.name);
            EXPECT_EQ(option.accepted, KestrelSetOptionEx(handle, option.name, option.value));
            EXPECT_EQ(option.accepted ? KESTREL_FAILURE_NONE : KESTREL_FAILURE_USAGE,
                      KestrelGetErrorEx(handle, nullptr, 0));
        }
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(c.opened, KestrelOpenArchiveEx(handle, url.c_str(), 2));
        long long took = elapsed_ms(started);
        EXPECT_GE(took, c.least_ms);
        EXPECT_LT(took, kBoundMs);
        EXPECT_EQ(c.kind, KestrelGetErrorEx(handle, nullptr, 0));
        if (c.opened) {
            size_t opened_at = server.commands().size();
            EXPECT_EQ(0, KestrelFindFirst(handle, "*", nullptr));
            Lines all = server.commands();
            // The data connection the listing took (an Index file may follow).
            ASSERT_GE(all.size(), opened_at + c.commands.size());
            EXPECT_EQ(c.commands, Lines(all.begin() + (long)opened_at, all.begin() + (long)(opened_at + c.commands.size())));
            // The trust of the connections is fixed once the open has begun.
            EXPECT_EQ(0, KestrelSetOptionEx(handle, "TlsVerify", "0"));
            EXPECT_EQ(KESTREL_FAILURE_USAGE, KestrelGetErrorEx(handle, nullptr, 0));
        }
        // A handle opens once.
        EXPECT_EQ(0, KestrelOpenArchiveEx(handle, url.c_str(), 2));
        char shown[256] = "";
        EXPECT_EQ(KESTREL_FAILURE_USAGE, KestrelGetErrorEx(handle, shown, (int)sizeof shown));
        EXPECT_STREQ("the handle was opened before", shown);
        KestrelCloseArchive(handle);
    }
    // Another handle opened after them takes the stored settings again.
    use_settings(DATA_MODE_ACTIVE);
    EXPECT_EQ(nullptr, KestrelOpenArchive(nullptr, "ftp://127.0.0.1:1/", 2));
    EXPECT_EQ(KESTREL_FAILURE_REFUSED, KestrelGetErrorEx(nullptr, nullptr, 0));
}

// ---- Folder trees through the command's extract: -r over a scripted tree ----

namespace {

std::string folder_line(const std::string &name)
{
    return "drwxr-xr-x   2 ftp  ftp  0 Jan 02  2024 " + name + "\r\n";
}

std::string link_line(const std::string &name, const std::string &target)
{
    return "lrwxrwxrwx   1 ftp  ftp  1 Jan 02  2024 " + name + " -> " + target + "\r\n";
}

}  // namespace

TEST(Faults, FolderTreesComeOverWholeAndStayInside)
{
    struct Case {
        const char *label;
        std::map<std::string, std::string> listings;  // LIST argument ("" the URL's folder) -> lines
        Folder served;                                // what RETR gives; a listed file not here is refused
        int connections;
        bool cancel;                                  // cancelled once the first RETR is under way
        int expected;
        Folder landed;                                // files below the rig's folder afterwards
        std::vector<std::string> folders;             // folders that must be there (empty ones too)
        Lines report;                                 // lines the report holds, in this order
        Lines commands;                               // the transcript after the open (empty: not checked)
    } cases[] = {
        {"nested folders, one TYPE for the whole tree (the login's)",
         {{"", unix_line("f1", 2) + folder_line("a")}, {"a", unix_line("f2", 2) + folder_line("b")},
          {"a/b", unix_line("f3", 2)}},
         {{"f1", "11"}, {"a/f2", "22"}, {"a/b/f3", "33"}}, 1, false, 0,
         {{"dest/f1", "11"}, {"dest/a/f2", "22"}, {"dest/a/b/f3", "33"}}, {"dest/a/b"},
         {"Read begin [f1]", "Read end [f1]", "Read begin [a/f2]", "Read end [a/f2]", "Read begin [a/b/f3]",
          "Read end [a/b/f3]", "Total: 3 files read, 0 failed, 6 bytes"},
         {"PASV", "LIST", "PASV", "RETR Index", "PASV", "LIST a", "PASV", "RETR a/Index", "PASV", "LIST a/b", "PASV",
          "RETR a/b/Index", "PASV", "RETR f1", "PASV", "RETR a/f2", "PASV", "RETR a/b/f3"}},
        {"an empty folder is made",
         {{"", folder_line("empty") + unix_line("f1", 1)}, {"empty", ""}}, {{"f1", "1"}}, 1, false, 0,
         {{"dest/f1", "1"}}, {"dest/empty"}, {"Read end [f1]", "Total: 1 files read, 0 failed, 1 bytes"},
         {"PASV", "LIST", "PASV", "RETR Index", "PASV", "LIST empty", "PASV", "RETR empty/Index", "PASV", "RETR f1"}},
        {"a link to . is not walked",
         {{"", link_line("loop", ".") + unix_line("f1", 1)}}, {{"f1", "1"}}, 1, false, 0, {{"dest/f1", "1"}}, {},
         {"Skipping link [loop -> .]", "Read end [f1]"}, {"PASV", "LIST", "PASV", "RETR Index", "PASV", "RETR f1"}},
        {"names that would leave the destination",
         {{"", unix_line("../up.txt", 1) + unix_line("..\\bs.txt", 1) + unix_line(".. ", 1) + unix_line("ok", 1)}},
         {{"../up.txt", "x"}, {"..\\bs.txt", "x"}, {".. ", "x"}, {"ok", "1"}}, 1, false, COMMAND_READ_FAILED,
         {{"dest/ok", "1"}}, {},
         {"Error: Name would leave the destination [../up.txt]",
          "Error: Name would leave the destination [..\\bs.txt]", "Error: Name would leave the destination [.. ]",
          "Read end [ok]", "Total: 1 files read, 3 failed, 1 bytes", "Failed [../up.txt]"},
         {"PASV", "LIST", "PASV", "RETR Index", "PASV", "RETR ok"}},
        {"a failed file in the middle does not stop the others",
         {{"", unix_line("f1", 1) + unix_line("f2", 1) + unix_line("f3", 1)}}, {{"f1", "1"}, {"f3", "3"}}, 1, false,
         COMMAND_READ_FAILED, {{"dest/f1", "1"}, {"dest/f3", "3"}}, {},
         {"Read end [f1]", "Read begin [f2]", "Error: 550 Failed to open file", "Read begin [f3]", "Read end [f3]",
          "Total: 2 files read, 1 failed, 2 bytes", "Failed [f2]"},
         {}},
        {"a cancel during a parallel transfer ends every connection",
         {{"", unix_line("f1", 100000) + unix_line("f2", 1)}}, {{"f2", "2"}}, 2, true, COMMAND_READ_FAILED, {}, {},
         {"Read begin [f1]", "Error: Can't KestrelExtract(", "Failed [f1]"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig;
        g_settings.Connections = c.connections;
        // The second connection of a parallel case waits behind the first: the scripted
        // server takes one at a time, so only the cancel can end it.
        rig.server.set_connections(c.connections);
        for (const auto &listing : c.listings) {
            if (listing.first.empty())
                rig.server.set_listing(listing.second);
            else
                rig.server.set_listing_of(listing.first, listing.second);
        }
        for (const auto &file : c.served)
            rig.server.add_file(file.first, file.second);
        if (c.cancel)
            rig.server.expect("RETR f1", {"150 Opening BINARY mode data connection (100000 bytes)"})
                .send_data(std::string(100000, 'x'))
                .stop_data_after(10, false);
        ASSERT_NE(nullptr, rig.open_handle());
        std::string destination = (rig.dir.path / "dest").generic_string() + "/";
        char *files[] = {(char *)destination.c_str(), (char *)""};
        std::vector<char> report(64 * 1024);
        OutputBuffer *output = output_create(report.data(), (int)report.size() - 1);
        // The other connections log in with the command's URL.
        std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(rig.server.port()) + "/";
        ActionCall call = {2, files, nullptr, output, rig.archive, nullptr, url.c_str(), 1, -1, 2};
        int result;
        if (c.cancel) {
            CancelRun run = run_cancelled([&] { return command_extract(call); },
                                          [&] {
                                              for (int i = 0; i < 300; i++) {
                                                  for (const std::string &line : rig.server.commands())
                                                      if (line == "RETR f1")
                                                          return true;
                                                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                              }
                                              return false;
                                          },
                                          [&] { KestrelCancel(rig.archive, 0); });
            result = run.result;
            EXPECT_GE(run.after_cancel_ms, 0);
            EXPECT_LT(run.after_cancel_ms, kBoundMs);
        } else {
            result = command_extract(call);
        }
        output_destroy(output);
        std::string text = report.data();
        EXPECT_EQ(c.expected, result) << text;
        size_t at = 0;
        for (const std::string &line : c.report) {
            size_t found = text.find(line, at);
            EXPECT_NE(std::string::npos, found) << "missing or out of order: " << line << "\n" << text;
            if (found != std::string::npos)
                at = found + line.size();
        }
        Folder landed = tree_of(rig.dir.path);
        // A cancelled download keeps what arrived; only the files that completed count.
        if (c.cancel)
            landed.erase("dest/f1");
        EXPECT_EQ(c.landed, landed);
        for (const std::string &folder : c.folders) {
            EXPECT_TRUE(xfer::fs::is_directory(rig.dir.path / folder)) << folder;
        }
        if (!c.commands.empty()) {
            EXPECT_EQ(c.commands, rig.since_open());
        }
    }
}
