// Whole-file and block transfers against the scripted server: the commands it received,
// the bytes that ended up on disk or at the server, progress messages and resume.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/ftp_script_server.h"

using Lines = std::vector<std::string>;
using xfer::elapsed_ms;
using xfer::pattern;
using xfer::read_file;
using xfer::write_file;

namespace {

const size_t kLoginCommands = 6;  // USER, PASS, SYST, FEAT, TYPE I, PWD

struct TransferTest : ::testing::Test {
    FtpScriptServer server;
    FtpSession *session = nullptr;
    xfer::TempDir dir;
    xfer::Messages messages;

    void SetUp() override { server.set_auto_answer(true); }
    void TearDown() override
    {
        session_destroy(session);
        server.stop();
    }
    void connect()
    {
        ASSERT_TRUE(server.start());
        session = session_create();
        ASSERT_EQ(0, session_connect(session, "127.0.0.1", server.port(), "u", "p"));
    }
    void listen() { session_set_callback(session, xfer::record, (intptr_t)&messages); }
    Lines after_login() const
    {
        Lines all = server.commands();
        return Lines(all.begin() + (long)std::min(kLoginCommands, all.size()), all.end());
    }
};

}  // namespace

TEST_F(TransferTest, DownloadPathFollowsTheLocalName)
{
    std::string bytes = pattern(5000);
    server.add_file("pub/readme.txt", bytes);
    connect();
    xfer::fs::create_directories(dir.path / "folder");
    struct Case {
        std::string local;
        std::string written;
    } cases[] = {
        {dir.file("folder") + "/", dir.file("folder") + "/readme.txt"},
        {dir.file("folder"), dir.file("folder") + "/readme.txt"},  // an existing folder
        {dir.file("named.bin"), dir.file("named.bin")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.local);
        size_t before = server.commands().size();
        ASSERT_EQ(0, session_get_file(session, "pub/readme.txt", c.local.c_str(), "b"));
        EXPECT_EQ(bytes, read_file(c.written));
        Lines all = server.commands();
        EXPECT_EQ((Lines{"TYPE I", "PASV", "RETR pub/readme.txt"}), Lines(all.begin() + (long)before, all.end()));
        xfer::fs::remove(c.written);
    }
}

TEST_F(TransferTest, DownloadRefusedBeforeAnythingIsSent)
{
    connect();
    // The remote name's component names a folder here.
    xfer::fs::create_directories(dir.path / "dl" / "readme.txt");
    std::string overlong = std::string(995, 'a') + "/";
    struct Case {
        const char *label;
        std::string local;
    } cases[] = {
        {"folder after the name is appended", dir.file("dl") + "/"},
        {"folder named outright", dir.file("dl")},
        {"path past 999 characters once the name is appended", overlong},
        {"path of 1000 characters", std::string(1000, 'b')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(-1, session_get_file(session, "pub/readme.txt", c.local.c_str(), "b"));
    }
    EXPECT_EQ(-1, session_get_file(session, "", dir.file("x").c_str(), "b"));
    EXPECT_EQ(Lines{}, after_login());
}

TEST_F(TransferTest, ResumeOfAnExistingLocalFile)
{
    std::string remote = pattern(1200);
    struct Case {
        const char *label;
        int resume_mode;
        std::string local;      // the local file before the download
        const char *rest_reply;  // null: the server's own 350
        Lines commands;
    } cases[] = {
        {"accepted: appends", 1, remote.substr(0, 1000), nullptr, {"TYPE I", "SIZE f.bin", "PASV", "REST 1000", "RETR f.bin"}},
        {"refused: rewrites from the start", 1, std::string(1000, 'x'), "502 REST not implemented",
         {"TYPE I", "SIZE f.bin", "PASV", "REST 1000", "RETR f.bin"}},
        {"resume off: overwrites", 0, std::string(1500, 'x'), nullptr, {"TYPE I", "PASV", "RETR f.bin"}},
        {"empty local file: no restart", 1, "", nullptr, {"TYPE I", "PASV", "RETR f.bin"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        s.add_file("f.bin", remote);
        if (c.rest_reply)
            s.expect("REST", {c.rest_reply});
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        ASSERT_EQ(0, session_connect(fs, "127.0.0.1", s.port(), "u", "p"));
        xfer::Messages m;
        session_set_callback(fs, xfer::record, (intptr_t)&m);
        session_set_resume_mode(fs, c.resume_mode);
        std::string local = dir.file("f.bin");
        write_file(local, c.local);
        EXPECT_EQ(0, session_get_file(fs, "f.bin", local.c_str(), "b"));
        EXPECT_EQ(remote, read_file(local));
        // The count starts at the accepted offset: 1000 + 200, not 200.
        ASSERT_FALSE(m.texts.empty());
        EXPECT_EQ("READ: 1200/1200\n", m.texts[0]);
        Lines all = s.commands();
        EXPECT_EQ(c.commands, Lines(all.begin() + (long)kLoginCommands, all.end()));
        EXPECT_EQ(0, fs->resume_offset);
        session_destroy(fs);
    }
}

TEST_F(TransferTest, DownloadThatEndsBadlyFailsAndKeepsWhatArrived)
{
    std::string bytes = pattern(1000);
    struct Case {
        const char *label;
        long stop_after;  // -1: all the data
        const char *final_reply;
        int result;
        size_t kept;
    } cases[] = {
        {"226", -1, "226 Transfer complete", 0, 1000},
        {"250", -1, "250 Transfer complete", 0, 1000},
        {"data cut short, 426", 400, "426 Connection closed; transfer aborted", -1, 400},
        {"all data, then 451", -1, "451 Local error in processing", -1, 1000},
        {"all data, then a 200 that ends no transfer", -1, "200 Command okay", -1, 1000},
        {"no final reply at all", -1, nullptr, -1, 1000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        FtpScriptServer s;
        s.set_auto_answer(true);
        FtpScriptStep &retr = s.expect("RETR", {"150 Opening data connection (1000 bytes)"}).send_data(bytes);
        if (c.stop_after >= 0)
            retr.stop_data_after(c.stop_after, true);
        if (c.final_reply)
            retr.final_reply({c.final_reply});
        else
            retr.close_connection();
        ASSERT_TRUE(s.start());
        FtpSession *fs = session_create();
        ASSERT_EQ(0, session_connect(fs, "127.0.0.1", s.port(), "u", "p"));
        std::string local = dir.file("part.bin");
        EXPECT_EQ(c.result, session_get_file(fs, "part.bin", local.c_str(), "b"));
        EXPECT_EQ(bytes.substr(0, c.kept), read_file(local));
        session_destroy(fs);
    }
}

TEST_F(TransferTest, CutDownloadIsContinuedByTheNextWithResumeOn)
{
    std::string bytes = pattern(3000);
    server.add_file("big.bin", bytes);
    server.expect("RETR big.bin", {"150 Opening (3000 bytes)"})
        .send_data(bytes)
        .stop_data_after(1234, true)
        .final_reply({"426 aborted"});
    connect();
    session_set_resume_mode(session, 1);
    std::string local = dir.file("big.bin");
    EXPECT_EQ(-1, session_get_file(session, "big.bin", local.c_str(), "b"));
    EXPECT_EQ(1234u, read_file(local).size());
    EXPECT_EQ(0, session_get_file(session, "big.bin", local.c_str(), "b"));
    EXPECT_EQ(bytes, read_file(local));
    EXPECT_EQ((Lines{"TYPE I", "PASV", "RETR big.bin", "TYPE I", "SIZE big.bin", "PASV", "REST 1234", "RETR big.bin"}),
              after_login());
}

TEST_F(TransferTest, LocalWriteErrorFailsTheDownload)
{
    std::error_code error;
    if (!xfer::fs::is_character_file("/dev/full", error))
        GTEST_SKIP() << "no /dev/full on this system to stand for a full disk";
    std::string bytes = pattern(100000);
    server.add_file("f.bin", bytes);
    connect();
    EXPECT_EQ(-1, session_get_file(session, "f.bin", "/dev/full", "b"));
    // The session goes on working.
    EXPECT_EQ(0, session_get_file(session, "f.bin", dir.file("f.bin").c_str(), "b"));
    EXPECT_EQ(bytes, read_file(dir.file("f.bin")));
}

TEST_F(TransferTest, ProgressMessages)
{
    std::string slow = pattern(1000);
    server.expect("RETR slow", {"150 Opening (1000 bytes)"}).send_data(slow, 100, 250).final_reply({"226 ok"});
    server.expect("RETR quick", {"150 Opening data connection"}).send_data("12345").final_reply({"226 ok"});
    server.expect("RETR listed", {"150 Opening data connection"}).send_data("12345").final_reply({"226 ok"});
    server.expect("RETR sized", {"150 Opening data connection"}).send_data("12345").final_reply({"226 ok"});
    server.add_file("sized", "12345");
    server.expect("RETR huge", {"150 Opening (3000000005 bytes)"}).send_data("12345").final_reply({"226 ok"});
    server.add_file("silent", "abc");
    connect();

    // Without a callback nothing is reported and the clock is never read.
    ASSERT_EQ(0, session_get_file(session, "silent", dir.file("silent").c_str(), "b"));
    EXPECT_EQ(0, session->last_progress_time);

    listen();
    ASSERT_EQ(0, session_get_file(session, "slow", dir.file("slow").c_str(), "b"));
    // 2.5 seconds of data: one message per second at most, with growing counts.
    ASSERT_GE(messages.texts.size(), 2u);
    EXPECT_LE(messages.texts.size(), 4u);
    long long last = 0;
    for (const std::string &text : messages.texts) {
        long long count = 0, total = 0;
        ASSERT_EQ(2, sscanf(text.c_str(), "READ: %lld/%lld\n", &count, &total)) << text;
        EXPECT_GT(count, last);
        EXPECT_EQ(1000, total);
        last = count;
    }

    // Each transfer counts from 0; without a size in the reply the total is the listing's
    // size, else SIZE's when the handle asks for it, else 0; sizes beyond 32 bits are
    // shown in full, and so is an offset beyond them.
    struct Case {
        const char *remote;
        int64_t offset;
        int64_t listed;  // -1: the listing has no such file
        int ask_size;
        const char *message;
    } cases[] = {
        {"quick", 0, -1, 0, "READ: 5/0\n"},
        {"listed", 0, 9, 1, "READ: 5/9\n"},
        {"sized", 0, -1, 1, "READ: 5/5\n"},
        {"huge", 3000000000LL, -1, 0, "READ: 3000000005/3000000005\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.remote);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        messages.texts.clear();
        ASSERT_EQ(0, session_set_resume_offset(session, c.offset));
        session->listed_size = c.listed;
        session->ask_size = c.ask_size;
        ASSERT_EQ(0, session_open_transfer(session, c.remote, "rb"));
        char block[100];
        while (session_read_data(session, block, sizeof block) > 0) {
        }
        EXPECT_EQ(0, session_close_transfer(session));
        ASSERT_FALSE(messages.texts.empty());
        EXPECT_EQ(c.message, messages.texts[0]);
    }
    Lines all = after_login();
    EXPECT_EQ("REST 3000000000", all[all.size() - 2]);
    // SIZE goes out only when neither the reply nor the listing can give the total.
    Lines asked;
    for (const std::string &line : all)
        if (line.rfind("SIZE", 0) == 0)
            asked.push_back(line);
    EXPECT_EQ(Lines{"SIZE sized"}, asked);
}

TEST_F(TransferTest, CancelEndsADownloadWithinASecond)
{
    std::string bytes = pattern(700);
    server.expect("RETR", {"150 Opening (5000 bytes)"}).send_data(bytes).stop_data_after(700, false);
    connect();
    std::string local = dir.file("stalled.bin");
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        session_cancel(session);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, session_get_file(session, "stalled.bin", local.c_str(), "b"));
    long long ms = elapsed_ms(started);
    canceller.join();
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(bytes, read_file(local));
}

TEST_F(TransferTest, Upload)
{
    std::string bytes = pattern(10000, 3);
    std::string local = dir.file("up.bin");
    write_file(local, bytes);
    server.expect("STOR refused.bin", {"150 go ahead"}).receive_data().final_reply({"451 disk trouble"});
    server.expect("STOR other.bin", {"150 go ahead"}).receive_data().final_reply({"250 stored"});
    connect();
    listen();

    EXPECT_EQ(0, session_put_file(session, "up.bin", local.c_str(), "b"));
    // Without a remote name, the local name's last component.
    EXPECT_EQ(0, session_put_file(session, nullptr, local.c_str(), "b"));
    // A final reply that is not a success fails the upload; 250 is one.
    EXPECT_EQ(-1, session_put_file(session, "refused.bin", local.c_str(), "b"));
    EXPECT_EQ(0, session_put_file(session, "other.bin", local.c_str(), "b"));
    EXPECT_EQ(0, session->local_size);

    std::vector<FtpScriptUpload> uploads = server.uploads();
    ASSERT_EQ(4u, uploads.size());
    const char *names[] = {"up.bin", "up.bin", "refused.bin", "other.bin"};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(names[i], uploads[i].name);
        EXPECT_EQ(bytes, uploads[i].bytes);
    }
    ASSERT_FALSE(messages.texts.empty());
    // The whole 10000 bytes are one block of the upload.
    EXPECT_EQ("WRITE: 10000/10000\n", messages.texts[0]);
    EXPECT_EQ((Lines{"TYPE I", "PASV", "STOR up.bin", "TYPE I", "PASV", "STOR up.bin", "TYPE I", "PASV",
                     "STOR refused.bin", "TYPE I", "PASV", "STOR other.bin"}),
              after_login());
}

TEST_F(TransferTest, UploadThatCannotReadItsLocalFileSendsNothing)
{
    connect();
    xfer::fs::create_directories(dir.path / "folder");
    struct Case {
        const char *label;
        const char *remote;
        std::string local;
    } cases[] = {
        {"missing local file", "keep.txt", dir.file("missing.txt")},
        {"a folder", "keep.txt", dir.file("folder")},
        {"missing file named by the remote name alone", "no-such-local-file.txt", ""},
        {"no names", "", ""},
        {"local name ends in a separator", nullptr, dir.file("folder") + "/"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(-1, session_put_file(session, c.remote, c.local.c_str(), "b"));
    }
    EXPECT_EQ(Lines{}, after_login());
}

TEST_F(TransferTest, CancelEndsAnUploadWithinASecond)
{
    // The server answers 150 but never takes the data: the upload fills the socket's
    // buffers and then waits.
    std::string local = dir.file("large.bin");
    write_file(local, std::string(48 << 20, 'z'));
    server.expect("STOR", {"150 go ahead"});
    connect();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        session_cancel(session);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, session_put_file(session, "large.bin", local.c_str(), "b"));
    long long ms = elapsed_ms(started);
    canceller.join();
    EXPECT_LT(ms, 2500);
    EXPECT_GE(ms, 700);
}

TEST_F(TransferTest, ActiveTransfersOneAfterAnother)
{
    // Each upload leaves its port in TIME_WAIT on this side; the next must bind 12321 again
    // (unless another program took it meanwhile).
    std::string bytes = pattern(20000, 5);
    std::string local = dir.file("a.bin");
    write_file(local, bytes);
    server.add_file("c.bin", bytes);
    connect();
    session->data_mode = DATA_MODE_ACTIVE;
    EXPECT_EQ(0, session_put_file(session, "a.bin", local.c_str(), "b"));
    EXPECT_EQ(0, session_put_file(session, "b.bin", local.c_str(), "b"));
    EXPECT_EQ(0, session_get_file(session, "c.bin", dir.file("c.bin").c_str(), "b"));
    EXPECT_EQ(bytes, read_file(dir.file("c.bin")));
    std::vector<FtpScriptUpload> uploads = server.uploads();
    ASSERT_EQ(2u, uploads.size());
    EXPECT_EQ(bytes, uploads[1].bytes);
    std::vector<unsigned> ports;
    EXPECT_EQ((Lines{"TYPE I", "PORT 127,0,0,1,{port}", "STOR a.bin", "TYPE I", "PORT 127,0,0,1,{port}", "STOR b.bin",
                     "TYPE I", "PORT 127,0,0,1,{port}", "RETR c.bin"}),
              xfer::active_ports_out(after_login(), &ports));
    ASSERT_EQ(3u, ports.size());
    EXPECT_EQ(session->port_listen_port, ports[2]);
    NetAddress loopback;
    net_parse_address("127.0.0.1", &loopback);
    for (size_t i = 1; i < ports.size(); i++) {
        if (ports[i - 1] == 12321 && ports[i] != 12321) {
            EXPECT_FALSE(xfer::port_bindable(loopback, 12321))
                << "transfer " << i << " left port 12321 though it was free";
        }
    }
}

TEST_F(TransferTest, ActiveDownloadWaitEndsWithACancel)
{
    server.expect("RETR").silence();
    connect();
    session->data_mode = DATA_MODE_ACTIVE;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        session_cancel(session);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, session_get_file(session, "never", dir.file("never").c_str(), "b"));
    canceller.join();
    EXPECT_LT(elapsed_ms(started), 2000);
    EXPECT_EQ(nullptr, session->data);
}

// Small blocks are only gathered before they go out; a cancel stops the writer all the
// same, and what it gathered never reaches the server as a finished upload.
TEST_F(TransferTest, CancelStopsASmallBlockUpload)
{
    server.expect("STOR", {"150 go ahead"}).receive_data().final_reply({"226 stored"});
    connect();
    ASSERT_EQ(0, session_open_transfer(session, "cut.txt", "wb"));
    EXPECT_EQ(3, session_write_data(session, "abc", 3));
    session_cancel(session);
    EXPECT_EQ(-1, session_write_data(session, "def", 3));
    EXPECT_EQ(-1, session_write_data(session, "ghi", 3));
    EXPECT_EQ(-1, session_close_transfer(session));
    EXPECT_EQ(nullptr, session->data);
    for (const FtpScriptUpload &upload : server.uploads())
        EXPECT_EQ(std::string::npos, upload.bytes.find("def"));
}

TEST_F(TransferTest, BlockLevelTransfers)
{
    server.add_file("text.txt", "one\r\ntwo\r\n");
    server.expect("RETR missing", {"550 No such file"});
    connect();

    ASSERT_EQ(0, session_open_transfer(session, "text.txt", "r"));
    EXPECT_EQ(0, session->uploading);
    std::string got;
    char block[4];
    int n;
    while ((n = session_read_data(session, block, sizeof block)) > 0)
        got.append(block, (size_t)n);
    EXPECT_EQ(0, n);
    EXPECT_EQ("one\r\ntwo\r\n", got);
    EXPECT_EQ(0, session_close_transfer(session));

    EXPECT_EQ(-1, session_open_transfer(session, "missing", "rb"));
    EXPECT_EQ(nullptr, session->data);
    EXPECT_EQ(-1, session_read_data(session, block, sizeof block));
    EXPECT_EQ(-1, session_write_data(session, "x", 1));
    // Nothing open: nothing to close and no reply to wait for.
    EXPECT_EQ(0, session_close_transfer(session));

    ASSERT_EQ(0, session_open_transfer(session, "new.txt", "wb"));
    EXPECT_EQ(1, session->uploading);
    EXPECT_EQ(6, session_write_data(session, "abcdef", 6));
    EXPECT_EQ(0, session_close_transfer(session));
    ASSERT_EQ(1u, server.uploads().size());
    EXPECT_EQ("abcdef", server.uploads()[0].bytes);

    EXPECT_EQ(-1, session_set_resume_offset(session, -1));
    EXPECT_EQ((Lines{"TYPE A", "PASV", "RETR text.txt", "TYPE I", "PASV", "RETR missing", "TYPE I", "PASV",
                     "STOR new.txt"}),
              after_login());
}
