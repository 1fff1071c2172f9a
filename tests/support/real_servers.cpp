#include "tests/support/real_servers.h"

#include <cctype>
#include <cstdlib>

static std::string env(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

static std::string upper(std::string text)
{
    for (char &c : text)
        c = c == '-' ? '_' : (char)toupper((unsigned char)c);
    return text;
}

// name=127.0.0.1:port or, for the TLS servers, name=scheme://127.0.0.1:port.
static std::vector<RealServer> servers_of(const char *variable)
{
    std::vector<RealServer> servers;
    std::string list = env(variable);
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(';', at);
        if (end == std::string::npos)
            end = list.size();
        std::string item = list.substr(at, end - at);
        at = end + 1;
        size_t eq = item.find('='), colon = item.rfind(':');
        if (eq == std::string::npos || colon == std::string::npos || colon < eq)
            continue;
        RealServer server;
        server.name = item.substr(0, eq);
        size_t scheme_end = item.find("://", eq);
        if (scheme_end != std::string::npos && scheme_end < colon) {
            server.scheme = item.substr(eq + 1, scheme_end - eq - 1);
            eq = scheme_end + 2;
        }
        server.host = item.substr(eq + 1, colon - eq - 1);
        server.port = atoi(item.substr(colon + 1).c_str());
        // Never anything but loopback, whatever the environment says.
        if ((server.host.compare(0, 4, "127.") != 0 && server.host != "[::1]") || server.port <= 0)
            continue;
        server.anon_root = env(("KESTREL_FTP_ANON_ROOT_" + upper(server.name)).c_str());
        server.user_home = env(("KESTREL_FTP_USER_HOME_" + upper(server.name)).c_str());
        servers.push_back(server);
    }
    return servers;
}

std::vector<RealServer> real_servers_of(const char *variable)
{
    return servers_of(variable);
}

std::vector<RealServer> real_servers()
{
    return servers_of("KESTREL_FTP_SERVERS");
}

std::vector<RealServer> real_tls_servers()
{
    return servers_of("KESTREL_FTP_TLS_SERVERS");
}

std::string real_tls_certs()
{
    return env("KESTREL_FTP_TLS_CERTS");
}

std::string real_server_user()
{
    return env("KESTREL_FTP_USER");
}

std::string real_server_password()
{
    return env("KESTREL_FTP_PASS");
}

bool real_servers_required()
{
    return !env("KESTREL_REQUIRE_SERVERS").empty();
}
