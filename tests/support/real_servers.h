// The real FTP servers that tests/servers/with-servers starts on loopback, as the
// environment names them. Tests that need them iterate over real_servers().
#pragma once

#include <string>
#include <vector>

struct RealServer {
    std::string name;     // vsftpd, pureftpd, proftpd, pyftpdlib; vsftpd-tls, pyftpdlib-tls
    std::string scheme = "ftp";  // ftpes or ftps for the TLS servers
    std::string host;     // always a 127.x address, or [::1] (in brackets, as a URL has it)
    int port;
    std::string anon_root;  // the anonymous tree on disk (a Unix path)
    std::string user_home;  // the writable home of the test user on disk (a Unix path)
};

std::vector<RealServer> real_servers();
// The servers that speak only TLS (KESTREL_FTP_TLS_SERVERS), each with its URL scheme,
// and the folder of the run's certificates (tests/servers/make-tls-certs), "" without.
std::vector<RealServer> real_tls_servers();
std::string real_tls_certs();
// The servers an environment variable names in the same form (KESTREL_FTP_TLS_FAULTS:
// TLS servers whose certificates a client must refuse).
std::vector<RealServer> real_servers_of(const char *variable);
// The servers that listen on ::1 (KESTREL_FTP_IPV6_SERVERS), host "[::1]".
inline std::vector<RealServer> real_ipv6_servers()
{
    return real_servers_of("KESTREL_FTP_IPV6_SERVERS");
}
std::string real_server_user();
std::string real_server_password();

// Skips the test when no servers run, unless KESTREL_REQUIRE_SERVERS is set: then their
// absence is a failure, so a full run cannot pass without talking to them.
#define REQUIRE_REAL_SERVERS()                                                          \
    do {                                                                                \
        if (real_servers().empty()) {                                                   \
            if (real_servers_required())                                                \
                FAIL() << "KESTREL_REQUIRE_SERVERS is set but KESTREL_FTP_SERVERS is empty"; \
            GTEST_SKIP() << "no real FTP servers (run under tests/servers/with-servers)"; \
        }                                                                               \
    } while (0)

bool real_servers_required();
