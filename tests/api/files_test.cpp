// The file-operation exports against the scripted server: what each one sends, what
// lands on disk or at the server, and the interface's 1/0 and 0/-1 answers.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/kestrel.h"
#include "config/settings.h"
#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/store_env.h"

using Lines = std::vector<std::string>;
using xfer::pattern;
using xfer::read_file;
using xfer::write_file;

namespace {

const size_t kLoginCommands = 8;  // USER, PASS, SYST, FEAT, TYPE I, PWD, then the URL's CWD and PWD

struct FilesTest : ::testing::Test {
    FtpScriptServer server;
    HARC archive = nullptr;
    xfer::TempDir dir;

    void SetUp() override
    {
        store_env_reset();
        server.set_auto_answer(true);
    }
    void TearDown() override
    {
        KestrelCloseArchive(archive);
        server.stop();
        store_env_cleanup();
    }
    void open(const char *default_dir = "")
    {
        settings_load();
        snprintf(g_settings.DefaultDir, SETTINGS_TEXT_SIZE, "%s", default_dir);
        ASSERT_EQ(0, settings_save());
        ASSERT_TRUE(server.start());
        std::string url = "ftp://u:p@127.0.0.1:" + std::to_string(server.port()) + "/pub/";
        archive = KestrelOpenArchive(nullptr, url.c_str(), 0);
        ASSERT_NE(nullptr, archive);
    }
    Lines after_open() const
    {
        Lines all = server.commands();
        return Lines(all.begin() + (long)std::min(kLoginCommands, all.size()), all.end());
    }
};

}  // namespace

TEST_F(FilesTest, ExtractTakesTheDefaultFolderOnlyWithoutADestination)
{
    std::string bytes = pattern(3000);
    server.add_file("a.txt", bytes);
    xfer::fs::create_directories(dir.path / "dl");
    open((dir.file("dl") + "/").c_str());
    struct Case {
        const char *label;
        std::string destination;
        bool null_destination;
        std::string written;
    } cases[] = {
        {"empty destination", "", false, dir.file("dl") + "/a.txt"},
        {"no destination", "", true, dir.file("dl") + "/a.txt"},
        {"destination given", dir.file("given.txt"), false, dir.file("given.txt")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(1, KestrelExtract(archive, "a.txt", c.null_destination ? nullptr : c.destination.c_str(), 0));
        EXPECT_EQ(bytes, read_file(c.written));
        xfer::fs::remove(c.written);
    }

    // Without a default folder, the remote name itself is the local path.
    g_settings.DefaultDir[0] = '\0';
    xfer::fs::path before = xfer::fs::current_path();
    xfer::fs::current_path(dir.path);
    int result = KestrelExtract(archive, "a.txt", "", 0);
    xfer::fs::current_path(before);
    EXPECT_EQ(1, result);
    EXPECT_EQ(bytes, read_file(dir.file("a.txt")));
}

TEST_F(FilesTest, ExtractAndAddAnswers)
{
    std::string bytes = pattern(2000);
    server.expect("RETR cut.bin", {"150 Opening (2000 bytes)"})
        .send_data(bytes)
        .stop_data_after(500, true)
        .final_reply({"426 aborted"});
    server.expect("RETR missing.bin", {"550 No such file"});
    server.add_file("whole.bin", bytes);
    open();
    xfer::Messages messages;
    ASSERT_EQ(1, KestrelSetCallbackMsgFunc(archive, xfer::record, (intptr_t)&messages));

    EXPECT_EQ(0, KestrelExtract(archive, "cut.bin", dir.file("cut.bin").c_str(), 0));
    EXPECT_EQ(bytes.substr(0, 500), read_file(dir.file("cut.bin")));  // kept for a resume
    EXPECT_EQ(0, KestrelExtract(archive, "missing.bin", dir.file("missing.bin").c_str(), 0));
    EXPECT_EQ(1, KestrelExtract(archive, "whole.bin", dir.file("whole.bin").c_str(), 0));
    EXPECT_EQ(bytes, read_file(dir.file("whole.bin")));
    ASSERT_FALSE(messages.texts.empty());
    EXPECT_EQ("READ: 500/2000\n", messages.texts[0]);

    write_file(dir.file("up.bin"), bytes);
    EXPECT_EQ(0, KestrelAdd(archive, "x.bin", dir.file("absent.bin").c_str(), 0));
    EXPECT_EQ(1, KestrelAdd(archive, "", dir.file("up.bin").c_str(), 0));
    ASSERT_EQ(1u, server.uploads().size());
    EXPECT_EQ("up.bin", server.uploads()[0].name);
    EXPECT_EQ(bytes, server.uploads()[0].bytes);
    EXPECT_EQ((Lines{"TYPE I", "PASV", "RETR cut.bin", "TYPE I", "PASV", "RETR missing.bin", "TYPE I", "PASV",
                     "RETR whole.bin", "TYPE I", "PASV", "STOR up.bin"}),
              after_open());
}

// A 150 without a size: the meter's total is the size the handle's listing showed for the
// file, for a whole-file and a streamed download alike.
TEST_F(FilesTest, ProgressTotalComesFromTheListing)
{
    std::string bytes = pattern(300);
    server.set_listing("-rw-r--r--   1 ftp  ftp  300 Jan 02  2024 listed.bin\r\n");
    for (int i = 0; i < 2; i++)
        server.expect("RETR listed.bin", {"150 Opening data connection"}).send_data(bytes).final_reply({"226 ok"});
    open();
    ASSERT_EQ(0, KestrelFindFirst(archive, "*", nullptr));
    xfer::Messages messages;
    ASSERT_EQ(1, KestrelSetCallbackMsgFunc(archive, xfer::record, (intptr_t)&messages));
    ASSERT_EQ(1, KestrelExtract(archive, "listed.bin", dir.file("listed.bin").c_str(), 0));
    ASSERT_FALSE(messages.texts.empty());
    EXPECT_EQ("READ: 300/300\n", messages.texts.back());
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    messages.texts.clear();
    ASSERT_EQ(0, KestrelOpenFile(archive, "listed.bin", "rb", 0));
    char block[100];
    while (KestrelRead(archive, block, (int)sizeof block) > 0) {
    }
    EXPECT_EQ(0, KestrelCloseFile(archive));
    ASSERT_FALSE(messages.texts.empty());
    EXPECT_EQ("/300\n", messages.texts[0].substr(messages.texts[0].find('/')));
    for (const std::string &line : server.commands())
        EXPECT_NE(0u, line.rfind("SIZE", 0)) << "no SIZE while the listing knows the size";
}

TEST_F(FilesTest, StreamedTransferModes)
{
    server.add_file("f.txt", "hello");
    open();
    struct Case {
        const char *mode;
        Lines commands;
    } cases[] = {
        {"wb", {"TYPE I", "PASV", "STOR f.txt"}},
        {"r", {"TYPE A", "PASV", "RETR f.txt"}},
        {"rb", {"TYPE I", "PASV", "RETR f.txt"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        size_t before = server.commands().size();
        ASSERT_EQ(0, KestrelOpenFile(archive, "f.txt", c.mode, 0));
        if (c.mode[0] == 'w') {
            EXPECT_EQ(5, KestrelWrite(archive, "HELLO", 5));
        } else {
            char buffer[16] = {};
            EXPECT_EQ(5, KestrelRead(archive, buffer, sizeof buffer));
            EXPECT_STREQ("HELLO", buffer);  // what the upload stored
            EXPECT_EQ(0, KestrelRead(archive, buffer, sizeof buffer));
        }
        EXPECT_EQ(0, KestrelCloseFile(archive));
        Lines all = server.commands();
        EXPECT_EQ(c.commands, Lines(all.begin() + (long)before, all.end()));
    }
    EXPECT_EQ(-1, KestrelOpenFile(archive, "f.txt\r\nDELE f.txt", "rb", 0));
}

TEST_F(FilesTest, RestartAppliesToTheNextTransferOnly)
{
    std::string bytes = pattern(1500);
    server.add_file("f.bin", bytes);
    open();
    auto download = [&] {
        std::string got;
        if (KestrelOpenFile(archive, "f.bin", "rb", 0) != 0)
            return std::string("<refused>");
        char block[512];
        int n;
        while ((n = KestrelRead(archive, block, sizeof block)) > 0)
            got.append(block, (size_t)n);
        EXPECT_EQ(0, KestrelCloseFile(archive));
        return got;
    };
    EXPECT_EQ(1, KestrelRestart(archive, 500));
    EXPECT_EQ(bytes.substr(500), download());
    EXPECT_EQ(bytes, download());  // the close cleared the offset
    EXPECT_EQ(1, KestrelRestart(archive, 700));
    EXPECT_EQ(1, KestrelSetResumeGetMode(archive, 0));  // clears it too
    EXPECT_EQ(bytes, download());
    EXPECT_EQ(0, KestrelRestart(archive, -1));
    EXPECT_EQ(bytes, download());
    EXPECT_EQ((Lines{"TYPE I", "PASV", "REST 500", "RETR f.bin", "TYPE I", "PASV", "RETR f.bin", "TYPE I", "PASV",
                     "RETR f.bin", "TYPE I", "PASV", "RETR f.bin"}),
              after_open());
}

TEST_F(FilesTest, RemoteFileCommands)
{
    server.expect("MKD made", {"257 \"/pub/made\" created"});
    server.expect("MKD other", {"250 ok"});
    server.expect("RMD made", {"250 removed"});
    server.expect("RMD gone", {"550 no such directory"});
    server.expect("DELE f", {"250 deleted"});
    server.expect("DELE f", {"550 no such file"});
    server.expect("RNFR a", {"550 no such file"});
    server.expect("RNFR a", {"350 ready"});
    server.expect("RNTO b", {"250 renamed"});
    open();
    EXPECT_EQ(1, KestrelMkDir(archive, "made", 0));
    EXPECT_EQ(0, KestrelMkDir(archive, "other", 0));
    EXPECT_EQ(1, KestrelRmDir(archive, "made", 0));
    EXPECT_EQ(0, KestrelRmDir(archive, "gone", 0));
    EXPECT_EQ(1, KestrelDelete(archive, "f", 0));
    EXPECT_EQ(0, KestrelDelete(archive, "f", 0));
    EXPECT_EQ(0, KestrelMove(archive, "a", "b", 0));
    EXPECT_EQ(1, KestrelMove(archive, "a", "b", 0));
    EXPECT_EQ((Lines{"MKD made", "MKD other", "RMD made", "RMD gone", "DELE f", "DELE f", "RNFR a", "RNFR a", "RNTO b"}),
              after_open());
}

TEST_F(FilesTest, CancelEndsAnExtractWithinASecond)
{
    server.expect("RETR", {"150 Opening (9000 bytes)"}).send_data(pattern(9000)).stop_data_after(3000, false);
    open();
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        KestrelCancel(archive, 0);
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, KestrelExtract(archive, "slow.bin", dir.file("slow.bin").c_str(), 0));
    long long ms = xfer::elapsed_ms(started);
    canceller.join();
    EXPECT_LT(ms, 2000);
    EXPECT_EQ(pattern(9000).substr(0, 3000), read_file(dir.file("slow.bin")));
}

TEST(FilesNullHandle, EveryExportAnswersItsFailureValue)
{
    char buffer[4];
    EXPECT_EQ(-1, KestrelOpenFile(nullptr, "f", "rb", 0));
    EXPECT_EQ(-1, KestrelRead(nullptr, buffer, sizeof buffer));
    EXPECT_EQ(-1, KestrelWrite(nullptr, "x", 1));
    EXPECT_EQ(-1, KestrelCloseFile(nullptr));
    EXPECT_EQ(0, KestrelExtract(nullptr, "f", "g", 0));
    EXPECT_EQ(0, KestrelAdd(nullptr, "f", "g", 0));
    EXPECT_EQ(0, KestrelMove(nullptr, "f", "g", 0));
    EXPECT_EQ(0, KestrelDelete(nullptr, "f", 0));
    EXPECT_EQ(0, KestrelMkDir(nullptr, "f", 0));
    EXPECT_EQ(0, KestrelRmDir(nullptr, "f", 0));
    EXPECT_EQ(0, KestrelRestart(nullptr, 1));
    EXPECT_EQ(0, KestrelSetResumeGetMode(nullptr, 1));
}
