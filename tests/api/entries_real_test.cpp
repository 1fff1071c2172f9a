// Enumeration through the exports against the real servers that tests/servers/with-servers
// runs on loopback, in passive and active mode: the prepared tree, entry by entry.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "api/kestrel.h"
#include "config/settings.h"
#include "platform/net.h"
#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/real_servers.h"
#include "tests/support/store_env.h"

namespace {

struct Seen {
    std::string name;
    int size;  // -1 for directories, whose size is the server's business
    std::string attribute;
    uint16_t date;
    bool operator==(const Seen &o) const
    {
        return name == o.name && size == o.size && attribute == o.attribute && date == o.date;
    }
};

std::ostream &operator<<(std::ostream &out, const Seen &s)
{
    return out << s.name << " " << s.size << " " << s.attribute << " " << s.date;
}

const uint16_t kTreeDate = 0x5822;  // every prepared entry: 2 January 2024

// The root of the prepared tree; link.txt is a link whose name has a '.', so a file.
const std::vector<Seen> kRoot = {
    {"data.bin", 307200, "----", kTreeDate}, {"empty/", -1, "----", kTreeDate},
    {"link.txt", 10, "----", kTreeDate},     {"readme.txt", 60, "----", kTreeDate},
    {"sub/", -1, "----", kTreeDate},         {"two words.txt", 20, "----", kTreeDate},
};

std::vector<Seen> walk(HARC archive, const char *wildcard)
{
    std::vector<Seen> seen;
    EntryInfo info;
    for (int found = KestrelFindFirst(archive, wildcard, &info); found == 0; found = KestrelFindNext(archive, &info)) {
        bool directory = (KestrelGetAttribute(archive) & 0x10) != 0;
        EXPECT_EQ((int)info.original_size, KestrelGetOriginalSize(archive)) << info.file_name;
        seen.push_back({info.file_name, directory ? -1 : (int)info.original_size, info.attribute, info.date});
    }
    std::sort(seen.begin(), seen.end(), [](const Seen &a, const Seen &b) { return a.name < b.name; });
    return seen;
}

// The lowest free descriptor on Linux, and the next free socket handle on Windows: both
// come back to the same value once every socket opened in between is closed again.
net_socket_t probe_socket()
{
    net_socket_t socket = net_socket_tcp();
    net_close(socket);
    return socket;
}

void check_server(const RealServer &server, int mode)
{
    SCOPED_TRACE(server.name + (mode == DATA_MODE_ACTIVE ? " active" : " passive"));
    settings_load();
    g_settings.PassiveMode = mode;
    ASSERT_EQ(0, settings_save());
    std::string url = "ftp://" + server.host + ":" + std::to_string(server.port) + "/";

    HARC archive = KestrelOpenArchive(nullptr, url.c_str(), 0);
    ASSERT_NE(nullptr, archive);
    // pyftpdlib's MLSD gives a link the facts of what it points to, the size a download
    // of it gets.
    std::vector<Seen> root = kRoot;
    if (server.name.compare(0, 9, "pyftpdlib") == 0)
        root[2].size = 60;
    EXPECT_EQ(root, walk(archive, "*.*"));
    EXPECT_EQ(2, KestrelGetArcOSType(archive));
    EXPECT_EQ(std::vector<Seen>({{"inner.txt", 11, "----", kTreeDate}}), walk(archive, "sub/*.*"));
    KestrelCloseArchive(archive);

    net_socket_t before = probe_socket();
    EXPECT_EQ((int)kRoot.size(), KestrelGetFileCount(url.c_str()));
    EXPECT_EQ(before, probe_socket()) << "a socket stayed open";
}

}  // namespace

TEST(RealServerEntries, TreeListedOnEveryServerInBothModes)
{
    REQUIRE_REAL_SERVERS();
    net_startup();
    store_env_reset();
    for (const RealServer &server : real_servers()) {
        check_server(server, DATA_MODE_PASSIVE);
        check_server(server, DATA_MODE_ACTIVE);
    }
    store_env_cleanup();
}
