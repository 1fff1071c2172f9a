// Helpers shared by the tests that move files or use the active-mode port (session, api,
// listing, faults, interop, command, config): a private folder per test, whole-file reads
// and writes, a progress-message recorder, and the turn at the machine's one active-mode
// port.
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

// Active mode always listens on port 12321, so test programs that run at the same time
// take turns at it: the turn is a listening socket on 127.0.0.1:12320, held while a test
// uses active mode (the system frees it even when a program dies).
struct ActivePortTurn {
    net_socket_t socket = NET_NO_SOCKET;
    ActivePortTurn()
    {
        net_startup();
        unsigned char loopback[4] = {127, 0, 0, 1};
        uint32_t address;
        memcpy(&address, loopback, 4);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(300);
        while (std::chrono::steady_clock::now() < until) {
            socket = net_socket_tcp();
            if (net_bind(socket, net_address_ipv4(address), 12320) == 0 && net_listen(socket, 1) == 0)
                return;
            net_close(socket);
            socket = NET_NO_SOCKET;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "no turn at the active-mode port within 300 s";
    }
    ~ActivePortTurn() { net_close(socket); }
    ActivePortTurn(const ActivePortTurn &) = delete;
    ActivePortTurn &operator=(const ActivePortTurn &) = delete;
};

inline long long elapsed_ms(std::chrono::steady_clock::time_point since)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since)
        .count();
}

}  // namespace xfer
