// The interop matrix: every real server × every data-connection mode × every operation a
// caller has, through the exported functions only, each outcome checked against the
// server's tree on disk. Each cell is printed as one line
//   INTEROP <target> <server> <mode> <operation> ok|FAIL
// and written to $KESTREL_TEST_TMP/interop/<target>-<mode>.txt, where
// tests/interop/make-matrix finds it (ctest shows no output of passing tests).
#include <gtest/gtest.h>
#ifdef _WIN32
// FILETIME is the system's record there; the header only names it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <chrono>
#include <mutex>

#include <sys/stat.h>

#include "api/handle.h"
#include "api/kestrel.h"
#include "api/open_and_stamps.h"
#include "config/settings.h"
#include "session/session.h"
#include "tests/support/transfer_support.h"
#include "tests/support/real_servers.h"
#include "util/text.h"

const char *interop_target(void);

namespace {

namespace fs = xfer::fs;
using xfer::read_file;

#ifdef _WIN32
// Wine's SChannel makes every TLS connection afresh: it never resumes a session, and
// vsftpd-tls refuses data connections that do not (522). Those rows need real Windows;
// vsftpd-tls-noreuse, the same server without that demand, runs here on both targets.
const bool kTlsResumes = false;
#else
const bool kTlsResumes = true;
#endif

const char *const kOperations[] = {"login", "list",  "mlsd",  "size64", "extract", "add",
                                   "resume", "print", "mkdir", "rmdir",  "move",    "delete"};

// The servers whose FEAT offers MLST: their listings come through MLSD, with exact UTC
// times. vsftpd offers none and is listed through LIST.
bool offers_mlst(const std::string &name)
{
    return name.compare(0, 9, "pyftpdlib") == 0 || name == "proftpd" || name == "pureftpd";
}

// The time of a file on disk, seconds since 1970 UTC; -1 when it cannot be read.
long long disk_time(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? (long long)status.st_mtime : -1;
}

// Every command, reply line and data connection of the cell under way, with the time it
// happened: a failing cell shows the exchange that led to it.
std::mutex transcript_lock;
std::string transcript;
const auto run_start = std::chrono::steady_clock::now();

void record_exchange(const FtpSession *, char direction, const char *text)
{
    long long ms = (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - run_start)
                       .count();
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    if (line.compare(0, 5, "PASS ") == 0)
        line = "PASS ***";
    std::lock_guard<std::mutex> hold(transcript_lock);
    transcript += "    " + std::to_string(ms) + " ms " + direction + " " + line + "\n";
}

std::string take_transcript()
{
    std::lock_guard<std::mutex> hold(transcript_lock);
    std::string taken;
    taken.swap(transcript);
    return taken;
}

const char *mode_name(int mode)
{
    return mode == 0 ? "active" : mode == 1 ? "passive" : "auto";
}

// The server's tree as this program reaches it: under Wine, a Unix path lies on drive Z:.
std::string on_disk(const RealServer &server, const std::string &name)
{
    std::string path = server.user_home + "/" + name;
    std::error_code error;
    if (fs::exists(server.user_home, error))
        return path;
    return "Z:" + path;
}

bool exists_on_disk(const RealServer &server, const std::string &name)
{
    std::error_code error;
    return fs::exists(on_disk(server, name), error);
}

// The cells of one mode, in the order they ran, and where they go.
struct Record {
    std::vector<std::string> lines;
    std::string failures;

    void cell(const std::string &server, int mode, const char *operation, bool ok, const std::string &why)
    {
        std::string line = std::string("INTEROP ") + interop_target() + " " + server + " " + mode_name(mode) + " " +
                           operation + (ok ? " ok" : " FAIL");
        printf("%s\n", line.c_str());
        fflush(stdout);
        lines.push_back(line);
        std::string exchange = take_transcript();
        if (!ok)
            failures += line + ": " + why + "\n" + exchange;
    }

    // Rewritten whole at the end, so a file never mixes two runs.
    void save(int mode) const
    {
        const char *parent = getenv("KESTREL_TEST_TMP");
        fs::path folder = fs::path(parent && *parent ? parent : ".") / "interop";
        std::error_code error;
        fs::create_directories(folder, error);
        fs::path file = folder / (std::string(interop_target()) + "-" + mode_name(mode) + ".txt");
        FILE *out = fopen(file.string().c_str(), "wb");
        if (!out) {
            ADD_FAILURE() << "cannot write " << file.string();
            return;
        }
        for (const std::string &line : lines)
            fprintf(out, "%s\n", line.c_str());
        fclose(out);
    }
};

struct Listed {
    std::string name;
    uint32_t size;
    bool operator<(const Listed &o) const { return name < o.name; }
};

std::vector<Listed> walk(HARC archive, const char *wildcard)
{
    std::vector<Listed> seen;
    EntryInfo info;
    for (int found = KestrelFindFirst(archive, wildcard, &info); found == 0; found = KestrelFindNext(archive, &info))
        seen.push_back({info.file_name, info.original_size});
    return seen;
}

bool has_entry(const std::vector<Listed> &entries, const std::string &name, uint32_t size)
{
    for (const Listed &entry : entries)
        if (entry.name == name && entry.size == size)
            return true;
    return false;
}

// Runs the ten operations on one server in one mode over one connection. The work folder
// `folder` (in the user's home) keeps this program's files apart from the prepared tree
// that other tests check, and from the other modes running at the same time.
void run_server(const RealServer &server, int mode, const std::string &folder, const xfer::TempDir &dir,
                Record &record)
{
    auto cell = [&](const char *operation, bool ok, const std::string &why) {
        record.cell(server.name, mode, operation, ok, why);
    };
    // A run that was broken off may have left the folder behind.
    std::error_code error;
    fs::remove_all(on_disk(server, folder), error);

    std::string url = server.scheme + "://" + real_server_user() + ":" + real_server_password() + "@" + server.host + ":" +
                      std::to_string(server.port) + "/";
    // Mode bit 2: the settings stay as they are in memory (never loaded here, so the
    // defaults); under Wine the stored ones are shared with programs that change them.
    HARC archive = KestrelOpenArchive(nullptr, url.c_str(), 2);
    bool logged_in = archive != nullptr && KestrelSetDataConnectionMode(archive, mode) == 0 &&
                     KestrelGetArcOSType(archive) == 2;
    cell("login", logged_in, "open, mode or system type failed");
    if (!archive) {
        for (size_t i = 1; i < sizeof kOperations / sizeof kOperations[0]; i++)
            cell(kOperations[i], false, "no connection");
        return;
    }
    std::string data = read_file(on_disk(server, "data.bin"));
    std::string readme = read_file(on_disk(server, "readme.txt"));
    bool work = KestrelMkDir(archive, folder.c_str(), 0) == 1;

    // list: the prepared entries of the root (others' files may lie beside them) and the
    // exact contents of sub/.
    {
        std::vector<Listed> root = walk(archive, "*.*");
        std::vector<Listed> sub = walk(archive, "sub/*.*");
        bool ok = has_entry(root, "data.bin", 307200) && has_entry(root, "readme.txt", 60) &&
                  has_entry(root, "two words.txt", 20) && sub.size() == 1 && sub[0].name == "inner.txt" && sub[0].size == 11;
        bool sub_listed = false;
        for (const Listed &entry : root)
            sub_listed = sub_listed || entry.name == "sub/";
        cell("list", ok && sub_listed, "root listed " + std::to_string(root.size()) + ", sub " +
                                           std::to_string(sub.size()) + " entries");
    }

    // mlsd: the servers that offer MLST are listed through it, and the entry's time is the
    // file's own to the second; the others through LIST as before.
    {
        FtpSession *session = handle_session(archive);
        bool offered = (session->features & SESSION_FEATURE_MLST) != 0;
        take_transcript();
        long long listed = -2, on_disk_time = disk_time(on_disk(server, "data.bin"));
        EntryInfo info;
        for (int at = KestrelFindFirst(archive, "", &info); at == 0; at = KestrelFindNext(archive, &info)) {
            FILETIME stamp;
            if (std::string(info.file_name) == "data.bin" && KestrelGetWriteTimeEx(archive, &stamp) == 1) {
                unsigned long long ticks = ((unsigned long long)stamp.dwHighDateTime << 32) | stamp.dwLowDateTime;
                listed = (long long)(ticks / 10000000ULL) - 11644473600LL;
            }
        }
        std::string exchange = take_transcript();
        bool through_mlsd = exchange.find("> MLSD") != std::string::npos;
        bool ok = offers_mlst(server.name) ? offered && through_mlsd && listed == on_disk_time
                                           : !offered && !through_mlsd && listed != -2;
        record_exchange(nullptr, ' ', exchange.c_str());
        cell("mlsd", ok, std::string(offered ? "MLST offered" : "no MLST") + ", listed time " + std::to_string(listed) +
                             ", on disk " + std::to_string(on_disk_time));
    }

    // size64: a sparse file of 3,000,000,000 bytes in the work folder. The 64-bit query
    // gives its size exactly where the record's 32-bit field cannot, and the listing
    // report (the command entry, on a handle of its own in the same mode) shows it on the
    // entry line and in the totals.
    {
        const long long big = 3000000000LL;
        std::string name = folder + "/big.bin";
        std::string path = on_disk(server, name);
        xfer::write_file(path, "");
        fs::resize_file(path, (uintmax_t)big, error);
        bool made = !error && fs::file_size(path, error) == (uintmax_t)big;
        long long size = 0, packed = 0, total = 0;
        uint32_t field = 0;
        int found = -1;
        EntryInfo info;
        for (int at = KestrelFindFirst(archive, (folder + "/*.*").c_str(), &info); at == 0;
             at = KestrelFindNext(archive, &info)) {
            if (std::string(info.file_name) == "big.bin") {
                found = KestrelGetOriginalSizeEx(archive, &size) + KestrelGetCompressedSizeEx(archive, &packed);
                field = info.original_size;
            }
        }
        int totals = KestrelGetArcOriginalSizeEx(archive, &total);
        // The command entry reads the stored settings, which know nothing of this run's CA:
        // the report is checked on the plain servers (the same code over any connection),
        // and the settings this program set are put back after it.
        bool report_ok = true;
        int listed = 0;
        std::string report;
        if (server.scheme == "ftp") {
            Settings kept = g_settings;
            std::string command = "-lqi --dataconnectionmode " + std::to_string(mode) + " " + url + folder + "/";
            char area[4000] = "";
            listed = Kestrel(nullptr, command.c_str(), area, (int)sizeof area - 1);
            g_settings = kept;
            report = area;
            report_ok = listed == 0 &&
                        report.find("       big.bin  3000000000  3000000000  100.0 ") != std::string::npos &&
                        report.find("     1 files    3000000000  3000000000  100.0 ") != std::string::npos;
        }
        cell("size64", made && found == 2 && size == big && packed == big && field == 0x7FFFFFFF && totals == 1 &&
                           total == big && report_ok,
             "size " + std::to_string(size) + ", 32-bit field " + std::to_string(field) + ", total " +
                 std::to_string(total) + ", report " + std::to_string(listed) + ":\n" + report);
        fs::remove(path, error);
    }

    // extract: the whole file into a folder, under its own name.
    {
        fs::path into = dir.path / ("extract-" + server.name);
        fs::create_directories(into, error);
        int result = KestrelExtract(archive, "data.bin", (into.string() + "/").c_str(), 0);
        std::string got = read_file((into / "data.bin").string());
        cell("extract", result == 1 && data.size() == 307200 && got == data,
             "result " + std::to_string(result) + ", " + std::to_string(got.size()) + " bytes");
    }

    // add: an upload whose size differs per server and mode, so no stale file can pass.
    std::string added = folder + "/added.bin";
    std::string bytes = xfer::pattern(150000 + (size_t)(server.port % 97) * 31 + (size_t)mode, (unsigned)server.port);
    {
        std::string local = dir.file("add-" + server.name + ".bin");
        xfer::write_file(local, bytes);
        int result = KestrelAdd(archive, added.c_str(), local.c_str(), 0);
        std::string got = read_file(on_disk(server, added));
        cell("add", work && result == 1 && got == bytes,
             "result " + std::to_string(result) + ", " + std::to_string(got.size()) + " bytes on the server");
    }

    // resume: a partial local file whose first bytes are not the server's, so that only a
    // transfer that really started at the offset gives the expected file. Once through an
    // explicit restart offset, once through the resume mode.
    {
        const size_t cut = 100000, cut2 = 200001;
        std::string head(cut, 'R'), head2(cut2, 'M');
        std::string first = dir.file("resume-restart-" + server.name + ".bin");
        std::string second = dir.file("resume-mode-" + server.name + ".bin");
        xfer::write_file(first, head);
        xfer::write_file(second, head2);
        int restarted = KestrelRestart(archive, (int)cut);
        int result = KestrelExtract(archive, "data.bin", first.c_str(), 0);
        KestrelSetResumeGetMode(archive, 1);
        int result2 = KestrelExtract(archive, "data.bin", second.c_str(), 0);
        KestrelSetResumeGetMode(archive, 0);
        bool ok = restarted == 1 && result == 1 && result2 == 1 && data.size() == 307200 &&
                  read_file(first) == head + data.substr(cut) && read_file(second) == head2 + data.substr(cut2);
        cell("resume", ok, "restart " + std::to_string(result) + ", resume mode " + std::to_string(result2));
    }

    // print: a streamed download read block by block.
    {
        std::string got;
        int opened = KestrelOpenFile(archive, "readme.txt", "rb", 0);
        int last = -1;
        if (opened == 0) {
            char block[16];  // small reads: the stream hands out what it holds in pieces
            while ((last = KestrelRead(archive, block, (int)sizeof block)) > 0)
                got.append(block, (size_t)last);
        }
        int closed = KestrelCloseFile(archive);
        cell("print", opened == 0 && last == 0 && closed == 0 && readme.size() == 60 && got == readme,
             "open " + std::to_string(opened) + ", close " + std::to_string(closed) + ", " +
                 std::to_string(got.size()) + " bytes");
    }

    // mkdir and rmdir, seen on disk.
    std::string made = folder + "/made dir";
    {
        int result = KestrelMkDir(archive, made.c_str(), 0);
        cell("mkdir", work && result == 1 && fs::is_directory(on_disk(server, made), error),
             "result " + std::to_string(result));
        int removed = KestrelRmDir(archive, made.c_str(), 0);
        cell("rmdir", work && removed == 1 && !exists_on_disk(server, made) && exists_on_disk(server, folder),
             "result " + std::to_string(removed));
    }

    // move and delete, on the file that add left.
    std::string moved = folder + "/moved.bin";
    {
        int result = KestrelMove(archive, added.c_str(), moved.c_str(), 0);
        cell("move", result == 1 && !exists_on_disk(server, added) && read_file(on_disk(server, moved)) == bytes,
             "result " + std::to_string(result));
        int deleted = KestrelDelete(archive, moved.c_str(), 0);
        cell("delete", result == 1 && deleted == 1 && !exists_on_disk(server, moved) &&
                           exists_on_disk(server, folder),
             "result " + std::to_string(deleted));
    }

    KestrelRmDir(archive, folder.c_str(), 0);
    KestrelCloseArchive(archive);
    fs::remove_all(on_disk(server, folder), error);
}

void run_mode(int mode)
{
    REQUIRE_REAL_SERVERS();
    session_set_trace(record_exchange);
    take_transcript();
    xfer::TempDir dir;
    Record record;
    std::string folder = std::string("interop-") + interop_target() + "-" + mode_name(mode);
    for (const RealServer &server : real_servers())
        run_server(server, mode, folder, dir, record);
    // The TLS rows: certificates checked against the run's own CA, whose file this
    // program reaches on drive Z: under Wine.
    std::vector<RealServer> tls;
    for (const RealServer &server : real_tls_servers()) {
        if (server.name == "vsftpd-tls" && !kTlsResumes)
            printf("[   skip   ] vsftpd-tls rows: SChannel under Wine does not resume TLS sessions "
                   "(vsftpd-tls-noreuse runs instead)\n");
        else
            tls.push_back(server);
    }
    if (!tls.empty()) {
        std::string ca = real_tls_certs() + "/ca.pem";
        std::error_code error;
        if (!fs::exists(ca, error))
            ca = "Z:" + ca;
        g_settings.TlsVerify = 1;
        text_copy(g_settings.TlsCaFile, sizeof g_settings.TlsCaFile, ca.c_str());
        for (const RealServer &server : tls)
            run_server(server, mode, folder, dir, record);
        g_settings.TlsCaFile[0] = '\0';
    }
    session_set_trace(nullptr);
    record.save(mode);
    EXPECT_EQ((real_servers().size() + tls.size()) * (sizeof kOperations / sizeof kOperations[0]),
              record.lines.size());
    EXPECT_EQ("", record.failures);
}

}  // namespace

TEST(Interop, Passive)
{
    run_mode(1);
}

// Active mode listens on the machine's one fixed port: programs take turns at it.
TEST(Interop, Active)
{
    xfer::ActivePortTurn turn;
    run_mode(0);
}

// With servers that all grant PASV, the automatic mode stays passive throughout.
TEST(Interop, Automatic)
{
    run_mode(2);
}

// The command lines of the open under way, as the session sent them.
std::mutex sent_lock;
std::vector<std::string> sent;

void record_sent(const FtpSession *, char direction, const char *text)
{
    if (direction != '>')
        return;
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    std::lock_guard<std::mutex> hold(sent_lock);
    sent.push_back(line.compare(0, 5, "PASS ") == 0 ? "PASS ***" : line);
}

// Certificates that must be refused and a server that refuses PROT P: the open fails with
// the reason in plain words, and no USER or PASS goes out before TLS protects it (AUTH TLS
// is all that is sent in clear). With TlsVerify 0 the same certificates are taken.
TEST(InteropTls, RefusedCertificatesAndProtection)
{
    REQUIRE_REAL_SERVERS();
    std::map<std::string, RealServer> by_name;
    for (const RealServer &server : real_tls_servers())
        by_name[server.name] = server;
    for (const RealServer &server : real_servers_of("KESTREL_FTP_TLS_FAULTS"))
        by_name[server.name] = server;
    for (const char *name : {"vsftpd-tls", "pyftpdlib-tls", "tls-expired", "tls-wrong-name", "tls-untrusted"})
        ASSERT_EQ(1u, by_name.count(name)) << name << " is not running";
    std::string ca = real_tls_certs() + "/ca.pem";
    std::error_code missing;
    if (!fs::exists(ca, missing))
        ca = "Z:" + ca;  // under Wine
    using Lines = std::vector<std::string>;
    struct Case {
        const char *label;
        const char *server;
        const char *user;
        int verify;
        bool run_ca;        // the run's CA is trusted besides the system's store
        bool opens;
        const char *reason;
        Lines commands;     // every command sent
    } cases[] = {
        {"expired certificate", "tls-expired", "anonymous", 1, true, false, "TLS: certificate has expired", {"AUTH TLS"}},
        {"certificate for another host", "tls-wrong-name", "anonymous", 1, true, false,
         "TLS: certificate name does not match the host", {"AUTH TLS"}},
        {"certificate from a CA nobody trusts", "tls-untrusted", "anonymous", 1, true, false,
         "TLS: certificate issuer is unknown (not trusted)", {"AUTH TLS"}},
        {"the run's CA not trusted (system store only)", "vsftpd-tls", "anonymous", 1, false, false,
         "TLS: certificate issuer is unknown (not trusted)", {"AUTH TLS"}},
        {"PROT P refused", "pyftpdlib-tls", "noprot", 1, true, false, "TLS: the server refused PROT P (reply 536)",
         {"USER noprot", "PASS ***", "PBSZ 0", "PROT P"}},
        {"TlsVerify 0 takes an expired certificate", "tls-expired", "anonymous", 0, true, true, "", {}},
        {"TlsVerify 0 takes a certificate for another host", "tls-wrong-name", "anonymous", 0, false, true, "", {}},
    };
    session_set_trace(record_sent);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const RealServer &server = by_name[c.server];
        g_settings.TlsVerify = c.verify;
        text_copy(g_settings.TlsCaFile, sizeof g_settings.TlsCaFile, c.run_ca ? ca.c_str() : "");
        {
            std::lock_guard<std::mutex> hold(sent_lock);
            sent.clear();
        }
        std::string url = server.scheme + "://" + c.user + ":" + real_server_password() + "@" + server.host + ":" +
                          std::to_string(server.port) + "/";
        HARC handle = frame_new_handle();
        ASSERT_NE(nullptr, handle);
        int opened = frame_open_handle(handle, url.c_str(), 2);
        EXPECT_EQ(c.opens ? 0 : -1, opened);
        EXPECT_EQ(std::string(c.reason), kestrel_open_failure(handle));
        std::lock_guard<std::mutex> hold(sent_lock);
        if (c.opens) {
            // Logged in: the TLS commands came after AUTH TLS, and the directory was read.
            ASSERT_GE(sent.size(), 5u);
            EXPECT_EQ((Lines{"AUTH TLS", "USER anonymous", "PASS ***", "PBSZ 0", "PROT P"}),
                      Lines(sent.begin(), sent.begin() + 5));
        } else {
            EXPECT_EQ(c.commands, sent);
        }
        KestrelCloseArchive(handle);
    }
    session_set_trace(nullptr);
    g_settings.TlsVerify = 1;
    g_settings.TlsCaFile[0] = '\0';
}
