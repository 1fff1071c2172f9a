#include "tests/support/store_env.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static std::string g_config_home;
static std::string g_made;  // the folder that store_env_cleanup removes

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void store_env_cleanup(void)
{
    if (!g_made.empty())
        nftw(g_made.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    g_made.clear();
}

void store_env_reset(void)
{
    store_env_cleanup();
    const char *parent = getenv("KESTREL_TEST_TMP");
    std::string base = parent != nullptr && parent[0] != '\0' ? parent : "/tmp";
    mkdir(base.c_str(), 0700);
    std::string tmpl = base + "/settings-XXXXXX";
    char *made = mkdtemp(&tmpl[0]);
    g_made = made != nullptr ? tmpl : std::string();
    g_config_home = made != nullptr ? tmpl + "/config" : std::string("/nonexistent-kestrel");
    setenv("XDG_CONFIG_HOME", g_config_home.c_str(), 1);
}

std::string store_env_file(void)
{
    return g_config_home + "/kestrel/registry.reg";
}

bool store_env_untouched(void)
{
    struct stat st;
    return stat(g_config_home.c_str(), &st) != 0;
}
