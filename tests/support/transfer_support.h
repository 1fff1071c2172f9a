// Helpers shared by the tests that move files or use the active-mode port (session, api,
// listing, faults, interop, command, config): a private folder per test, whole-file reads
// and writes, a progress-message recorder, and the active-mode port: taken out of a
// transcript, or held as another program would hold it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "api/kestrel.h"
#include "platform/net.h"
#include "tests/support/files.h"

namespace xfer {

namespace fs = std::filesystem;

// A fresh folder under KESTREL_TEST_TMP (or the system's temporary folder), removed with
// everything in it at the end of the test.
struct TempDir {
    fs::path path;
    TempDir()
    {
        const char *parent = getenv("KESTREL_TEST_TMP");
        fs::path base = parent && *parent ? fs::path(parent) : fs::temp_directory_path();
        long long stamp = (long long)std::chrono::steady_clock::now().time_since_epoch().count();
        path = base / ("kestrel-xfer-" + std::to_string(stamp) + "-" + std::to_string(rand()));
        fs::create_directories(path);
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
};

// FNV-1a over a whole file, and its size; false when the file cannot be read.
inline bool file_checksum(const std::string &path, uint64_t *sum, int64_t *size)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    uint64_t h = 1469598103934665603ULL;
    int64_t total = 0;
    std::string block(1 << 20, '\0');
    while (in) {
        in.read(&block[0], (std::streamsize)block.size());
        std::streamsize got = in.gcount();
        for (std::streamsize i = 0; i < got; i++) {
            h ^= (unsigned char)block[(size_t)i];
            h *= 1099511628211ULL;
        }
        total += got;
    }
    *sum = h;
    *size = total;
    return true;
}

// The file's bytes, or "<missing>" when it cannot be read.
inline std::string read_file(const std::string &path)
{
    std::string bytes;
    return files_read(path, &bytes) ? bytes : "<missing>";
}

inline void write_file(const std::string &path, const std::string &bytes)
{
    ASSERT_TRUE(files_write(path, bytes)) << path;
}

// Bytes that show a shifted or repeated block at once.
inline std::string pattern(size_t size, unsigned seed = 1)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; i++)
        bytes[i] = (char)((i * 7 + (i >> 10) + seed) & 0xff);
    return bytes;
}

struct Messages {
    std::vector<std::string> texts;
};

inline int KESTREL_API record(const char *text, intptr_t user)
{
    ((Messages *)user)->texts.push_back(text);
    return 0;
}

// Active mode listens on port 12321 unless another program holds it, then on a free port,
// and PORT (EPRT) names whichever it was. Gives the lines with each such port written as
// "{port}", the address part as it was sent, and appends the ports to `ports` in order.
// A port that is not a plain number from 1 to 65535 stays in its line, so the comparison
// with the expected transcript fails.
inline std::vector<std::string> active_ports_out(std::vector<std::string> lines, std::vector<unsigned> *ports = nullptr)
{
    auto number = [](const std::string &text, unsigned limit, unsigned *value) {
        if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *value = (unsigned)std::stoul(text);
        return *value <= limit;
    };
    for (std::string &line : lines) {
        unsigned port = 0;
        if (line.rfind("PORT ", 0) == 0) {
            size_t low = line.rfind(',');
            size_t high = low == std::string::npos || low == 0 ? std::string::npos : line.rfind(',', low - 1);
            unsigned hi, lo;
            if (high == std::string::npos || !number(line.substr(high + 1, low - high - 1), 255, &hi) ||
                !number(line.substr(low + 1), 255, &lo) || hi * 256 + lo == 0)
                continue;
            port = hi * 256 + lo;
            line = line.substr(0, high + 1) + "{port}";
        } else if (line.rfind("EPRT ", 0) == 0 && line.size() > 6) {
            char d = line[5];
            size_t last = line.size() - 1;
            size_t before = line[last] == d ? line.rfind(d, last - 1) : std::string::npos;
            if (before == std::string::npos || before <= 5 || !number(line.substr(before + 1, last - before - 1), 65535, &port) ||
                port == 0)
                continue;
            line = line.substr(0, before + 1) + "{port}" + d;
        } else {
            continue;
        }
        if (ports)
            ports->push_back(port);
    }
    return lines;
}

// True when a listener could bind `port` at `address` now (as active mode binds it): false
// while another socket listens there.
inline bool port_bindable(const NetAddress &address, uint16_t port)
{
    net_startup();
    net_socket_t probe = net_socket_tcp(address.family);
    if (probe == NET_NO_SOCKET)
        return false;
    net_set_reuse_address(probe);
    bool bound = net_bind(probe, address, port) == 0 && net_listen(probe, 1) == 0;
    net_close(probe);
    return bound;
}

// Holds port 12321 on 127.0.0.1 and ::1, as another program may hold it, until destroyed.
// Another test program's transfer holds it only for a moment, so the holder tries for a
// second; a port some program holds for longer stays held all the same.
struct ActivePortHolder {
    net_socket_t sockets[2] = {NET_NO_SOCKET, NET_NO_SOCKET};
    ActivePortHolder()
    {
        net_startup();
        const char *addresses[2] = {"127.0.0.1", "::1"};
        for (int i = 0; i < 2; i++) {
            NetAddress address;
            net_parse_address(addresses[i], &address);
            for (int attempt = 0; attempt < 50 && sockets[i] == NET_NO_SOCKET; attempt++) {
                if (attempt > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                sockets[i] = net_socket_tcp(address.family);
                if (sockets[i] == NET_NO_SOCKET)
                    continue;
                net_set_reuse_address(sockets[i]);  // earlier transfers may linger in TIME_WAIT
                if (net_bind(sockets[i], address, 12321) != 0 || net_listen(sockets[i], 1) != 0) {
                    net_close(sockets[i]);
                    sockets[i] = NET_NO_SOCKET;
                }
            }
            EXPECT_FALSE(port_bindable(address, 12321)) << "nobody holds port 12321 on " << addresses[i];
        }
    }
    ~ActivePortHolder()
    {
        for (net_socket_t s : sockets)
            net_close(s);
    }
    ActivePortHolder(const ActivePortHolder &) = delete;
    ActivePortHolder &operator=(const ActivePortHolder &) = delete;
};

inline long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

}  // namespace xfer
