// A file beyond the 32-bit sizes (3 GiB and a little), downloaded from a real server,
// broken off past the 2 GiB mark and resumed. It moves gigabytes, so it runs only when
// KESTREL_LARGE_TESTS=1 asks for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <chrono>

#include "platform/time.h"
#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/real_servers.h"

namespace {

const int64_t kSize = (3LL << 30) + 12345;
// Marked regions, so that a block written twice or skipped shows in the checksum: the
// start, the 2 GiB and 3 GiB marks (each straddled) and the end.
const int64_t kMarks[] = {0, (2LL << 30) - 40000, (3LL << 30) - 40000, kSize - 80000};

}  // namespace

TEST(LargeTransfer, DownloadAndResumeBeyondTwoGigabytes)
{
    const char *wanted = getenv("KESTREL_LARGE_TESTS");
    if (!wanted || std::string(wanted) != "1")
        GTEST_SKIP() << "moves 3 GiB; set KESTREL_LARGE_TESTS=1 to run it";
    REQUIRE_REAL_SERVERS();
    RealServer server = real_servers()[0];
    std::error_code error;
    std::string remote_path = server.user_home + "/large.bin";
    if (!xfer::fs::exists(server.user_home, error))
        remote_path = "Z:" + remote_path;

    // A sparse file on the server's side: only the marked regions take disk space.
    {
        std::ofstream out(remote_path, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(out.good()) << remote_path;
        for (int64_t mark : kMarks) {
            out.seekp((std::streamoff)mark);
            std::string bytes = xfer::pattern(80000, (unsigned)(mark >> 20));
            out.write(bytes.data(), (std::streamsize)bytes.size());
        }
    }
    xfer::fs::resize_file(remote_path, (uintmax_t)kSize);

    FtpSession *session = session_create();
    ASSERT_EQ(0, session_connect(session, server.host.c_str(), server.port, real_server_user().c_str(),
                                 real_server_password().c_str()));
    xfer::Messages messages;
    session_set_callback(session, xfer::record, (intptr_t)&messages);
    xfer::TempDir dir;
    std::string local = dir.file("large.bin");

    // Read past 2.25 GiB, then break off.
    ASSERT_EQ(0, session_open_transfer(session, "large.bin", "rb"));
    EXPECT_EQ(kSize, session->transfer_total);
    {
        FILE *f = fopen(local.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        static char block[65536];
        while (session->transferred < (9LL << 28)) {
            int got = session_read_data(session, block, (int)sizeof block);
            ASSERT_GT(got, 0);
            ASSERT_EQ((size_t)got, fwrite(block, 1, (size_t)got, f));
        }
        fclose(f);
    }
    session_close_transfer(session);
    int64_t cut = (int64_t)xfer::fs::file_size(local);
    EXPECT_GT(cut, 2LL << 30);

    // Messages come at most once a calendar second, and the resumed part can finish within
    // the second of the last one; waiting for the next second makes its first block report.
    while (platform_now() <= session->last_progress_time)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    session_set_resume_mode(session, 1);
    messages.texts.clear();
    EXPECT_EQ(0, session_get_file(session, "large.bin", local.c_str(), "b"));
    session_destroy(session);

    uint64_t want_sum = 0, got_sum = 0;
    int64_t want_size = 0, got_size = 0;
    ASSERT_TRUE(xfer::file_checksum(remote_path, &want_sum, &want_size));
    ASSERT_TRUE(xfer::file_checksum(local, &got_sum, &got_size));
    EXPECT_EQ(kSize, want_size);
    EXPECT_EQ(kSize, got_size);
    EXPECT_EQ(want_sum, got_sum);
    // Counts past 2^31 are reported in full, starting from the resumed offset.
    ASSERT_FALSE(messages.texts.empty());
    long long count = 0, total = 0;
    ASSERT_EQ(2, sscanf(messages.texts[0].c_str(), "READ: %lld/%lld", &count, &total)) << messages.texts[0];
    EXPECT_GT(count, cut);
    EXPECT_EQ(kSize, total);
    xfer::fs::remove(remote_path, error);
}
