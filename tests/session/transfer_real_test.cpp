// Transfers and file commands against the four real servers that tests/servers/with-servers
// runs on loopback, in passive and in active mode: every file that moves is compared byte
// for byte with its twin in the server's tree on disk.
#include <gtest/gtest.h>

#include <string>

#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/real_servers.h"

using xfer::pattern;
using xfer::read_file;
using xfer::write_file;

namespace {

// The server's tree as this program reaches it: under Wine, a Unix path lies on drive Z:.
std::string on_disk(const RealServer &server, const std::string &name)
{
    std::string path = server.user_home + "/" + name;
    std::error_code error;
    if (xfer::fs::exists(server.user_home, error))
        return path;
    return "Z:" + path;
}

bool exists_on_disk(const RealServer &server, const std::string &name)
{
    std::error_code error;
    return xfer::fs::exists(on_disk(server, name), error);
}

FtpSession *log_in(const RealServer &server, int mode)
{
    FtpSession *session = session_create();
    if (session_connect(session, server.host.c_str(), server.port, real_server_user().c_str(),
                        real_server_password().c_str()) != 0) {
        session_destroy(session);
        return nullptr;
    }
    session_set_data_mode(session, mode);
    return session;
}

void exercise(const RealServer &server, int mode, const xfer::TempDir &dir)
{
    std::string tag = std::string(mode == DATA_MODE_ACTIVE ? "active" : "passive");
    SCOPED_TRACE(server.name + " " + tag);
    FtpSession *session = log_in(server, mode);
    ASSERT_NE(nullptr, session);
    std::string original = read_file(on_disk(server, "data.bin"));
    ASSERT_EQ(307200u, original.size());

    // Download.
    std::string local = dir.file(server.name + "-" + tag + "-data.bin");
    EXPECT_EQ(0, session_get_file(session, "data.bin", local.c_str(), "b"));
    EXPECT_EQ(original, read_file(local));

    // A download broken off after three blocks, then resumed at the partial file's end.
    std::string partial = dir.file(server.name + "-" + tag + "-partial.bin");
    ASSERT_EQ(0, session_open_transfer(session, "data.bin", "rb"));
    {
        FILE *f = fopen(partial.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        char block[4096];
        for (int i = 0; i < 3; i++) {
            int got = session_read_data(session, block, (int)sizeof block);
            ASSERT_GT(got, 0);
            fwrite(block, 1, (size_t)got, f);
        }
        fclose(f);
    }
    session_close_transfer(session);  // the server may call the cut transfer a failure
    size_t cut = read_file(partial).size();
    ASSERT_LT(cut, original.size());
    session_set_resume_mode(session, 1);
    EXPECT_EQ(0, session_get_file(session, "data.bin", partial.c_str(), "b"));
    EXPECT_EQ(original, read_file(partial));
    // A local file longer than the server's: vsftpd answers REST past the end with 350,
    // nothing and 226. The SIZE asked first fails the resume and leaves the file alone.
    std::string longer = original + "0123456789";
    write_file(partial, longer);
    EXPECT_EQ(-1, session_get_file(session, "data.bin", partial.c_str(), "b"));
    EXPECT_EQ(longer, read_file(partial));
    session_set_resume_mode(session, 0);

    // Upload, then the file commands on what arrived.
    std::string bytes = pattern(200000 + (size_t)mode, (unsigned)server.port);
    std::string upload = dir.file("upload.bin");
    write_file(upload, bytes);
    std::string name = "up-" + tag + ".bin";
    EXPECT_EQ(0, session_put_file(session, name.c_str(), upload.c_str(), "b"));
    EXPECT_EQ(bytes, read_file(on_disk(server, name)));

    std::string folder = "made-" + tag, renamed = "renamed-" + tag + ".bin";
    EXPECT_EQ(0, session_make_dir(session, folder.c_str()));
    EXPECT_TRUE(xfer::fs::is_directory(on_disk(server, folder)));
    EXPECT_EQ(-1, session_make_dir(session, folder.c_str()));  // it exists now
    EXPECT_EQ(0, session_rename(session, name.c_str(), renamed.c_str()));
    EXPECT_FALSE(exists_on_disk(server, name));
    EXPECT_EQ(bytes, read_file(on_disk(server, renamed)));
    EXPECT_EQ(-1, session_rename(session, name.c_str(), "nowhere.bin"));
    EXPECT_EQ(0, session_delete(session, renamed.c_str()));
    EXPECT_FALSE(exists_on_disk(server, renamed));
    EXPECT_EQ(-1, session_delete(session, renamed.c_str()));
    EXPECT_EQ(0, session_remove_dir(session, folder.c_str()));
    EXPECT_FALSE(exists_on_disk(server, folder));
    EXPECT_EQ(-1, session_remove_dir(session, folder.c_str()));

    // The session is still in step with the server after all of it.
    EXPECT_EQ(0, session_get_file(session, "readme.txt", dir.file("readme.txt").c_str(), "b"));
    EXPECT_EQ(read_file(on_disk(server, "readme.txt")), read_file(dir.file("readme.txt")));
    session_destroy(session);
}

}  // namespace

TEST(RealServerTransfer, PassiveOnEveryServer)
{
    REQUIRE_REAL_SERVERS();
    xfer::TempDir dir;
    for (const RealServer &server : real_servers())
        exercise(server, DATA_MODE_PASSIVE, dir);
}

TEST(RealServerTransfer, ActiveOnEveryServer)
{
    REQUIRE_REAL_SERVERS();
    xfer::TempDir dir;
    for (const RealServer &server : real_servers())
        exercise(server, DATA_MODE_ACTIVE, dir);
}
