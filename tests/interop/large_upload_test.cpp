// A file beyond the 32-bit sizes (3 GiB and a little) uploaded to vsftpd through the
// exported functions, then compared by size and checksum with what landed in the user's
// home. It moves gigabytes, so it runs only when KESTREL_LARGE_TESTS=1 asks for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "api/kestrel.h"
#include "tests/support/transfer_support.h"
#include "tests/support/real_servers.h"

namespace {

const int64_t kSize = (3LL << 30) + 54321;
// Marked regions in a sparse source, so that a block sent twice, skipped or cut at a
// 32-bit boundary shows in the checksum: the start, the 2 GiB and 3 GiB marks
// (each straddled) and the end.
const int64_t kMarks[] = {0, (2LL << 30) - 50000, (3LL << 30) - 50000, kSize - 90000};

}  // namespace

TEST(LargeUpload, BeyondThreeGigabytesToVsftpd)
{
    const char *wanted = getenv("KESTREL_LARGE_TESTS");
    if (!wanted || std::string(wanted) != "1")
        GTEST_SKIP() << "moves 3 GiB; set KESTREL_LARGE_TESTS=1 to run it";
    REQUIRE_REAL_SERVERS();
    std::vector<RealServer> servers = real_servers();
    const RealServer *vsftpd = nullptr;
    for (const RealServer &server : servers)
        if (server.name == "vsftpd")
            vsftpd = &server;
    if (!vsftpd)
        GTEST_SKIP() << "vsftpd is not among the running servers";
    std::error_code error;
    std::string landed = vsftpd->user_home + "/large-upload.bin";
    if (!xfer::fs::exists(vsftpd->user_home, error))
        landed = "Z:" + landed;
    xfer::fs::remove(landed, error);

    xfer::TempDir dir;
    std::string source = dir.file("large-upload.bin");
    {
        std::ofstream out(source, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(out.good()) << source;
        for (int64_t mark : kMarks) {
            out.seekp((std::streamoff)mark);
            std::string bytes = xfer::pattern(90000, (unsigned)(mark >> 20) + 3);
            out.write(bytes.data(), (std::streamsize)bytes.size());
        }
    }
    xfer::fs::resize_file(source, (uintmax_t)kSize);

    std::string url = "ftp://" + real_server_user() + ":" + real_server_password() + "@" + vsftpd->host + ":" +
                      std::to_string(vsftpd->port) + "/";
    HARC archive = KestrelOpenArchive(nullptr, url.c_str(), 2);
    ASSERT_NE(nullptr, archive);
    ASSERT_EQ(0, KestrelSetDataConnectionMode(archive, 1));
    xfer::Messages messages;
    KestrelSetCallbackMsgFunc(archive, xfer::record, (intptr_t)&messages);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, KestrelAdd(archive, "large-upload.bin", source.c_str(), 0));
    long long upload_ms = xfer::elapsed_ms(start);
    KestrelCloseArchive(archive);
    printf("LARGE-UPLOAD %lld bytes to vsftpd in %lld ms\n", (long long)kSize, upload_ms);

    uint64_t want_sum = 0, got_sum = 0;
    int64_t want_size = 0, got_size = 0;
    ASSERT_TRUE(xfer::file_checksum(source, &want_sum, &want_size));
    ASSERT_TRUE(xfer::file_checksum(landed, &got_sum, &got_size)) << landed;
    EXPECT_EQ(kSize, want_size);
    EXPECT_EQ(kSize, got_size);
    EXPECT_EQ(want_sum, got_sum);
    // The progress counts pass 2^31 and name the whole size.
    ASSERT_FALSE(messages.texts.empty());
    long long count = 0, total = 0;
    ASSERT_EQ(2, sscanf(messages.texts.back().c_str(), "WRITE: %lld/%lld", &count, &total)) << messages.texts.back();
    EXPECT_EQ(kSize, total);
    EXPECT_GT(count, 2LL << 30);
    xfer::fs::remove(landed, error);
}
