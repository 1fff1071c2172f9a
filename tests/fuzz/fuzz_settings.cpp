// The settings store's file on Linux: the fuzzer's bytes are registry.reg under a private
// XDG_CONFIG_HOME. Loading never fails; saving either rewrites a file that loads back to
// the same settings, or, when the file cannot be parsed, refuses and leaves it byte for
// byte as it was (the user's other keys live in it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "config/settings.h"
#include "platform/registry.h"
#include "tests/support/files.h"

namespace {

std::string g_base, g_folder, g_file;

std::string read_file(const std::string &name)
{
    std::string text;
    if (!files_read(name, &text))
        abort();
    return text;
}

void remove_folders(void)
{
    // The store may leave a lock file beside registry.reg.
    std::string command = "rm -rf '" + g_base + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", g_base.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char base[] = "/tmp/kestrel-fuzz-settings-XXXXXX";
    if (!mkdtemp(base))
        abort();
    g_base = base;
    g_folder = g_base + "/kestrel";
    g_file = g_folder + "/registry.reg";
    mkdir(g_folder.c_str(), 0700);
    setenv("XDG_CONFIG_HOME", base, 1);
    atexit(remove_folders);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *out = fopen(g_file.c_str(), "wb");
    if (!out)
        abort();
    if (size > 0 && fwrite(data, 1, size, out) != size)
        abort();
    fclose(out);
    std::string before((const char *)data, size);

    RegistryKey key = 0;
    int status = platform_registry_open(REGISTRY_CURRENT_USER, "Software", &key);
    if (status == REGISTRY_OK)
        platform_registry_close(key);

    settings_load();
    Settings loaded = g_settings;
    int saved = settings_save();
    std::string after = read_file(g_file);
    if (status == REGISTRY_ERROR_BAD_STORE) {
        if (saved != -1 || after != before)
            abort();
        return 0;
    }
    if (saved != 0)
        abort();
    // What was saved loads back unchanged.
    memset(&g_settings, 0x5a, sizeof g_settings);
    settings_load();
    const Settings &again = g_settings;
    if (strcmp(again.EMailAddress, loaded.EMailAddress) != 0 ||
        strcmp(again.DefaultDir, loaded.DefaultDir) != 0 ||
        strcmp(again.ProxyHost, loaded.ProxyHost) != 0 || again.FtpCtrlPort != loaded.FtpCtrlPort ||
        again.PassiveMode != loaded.PassiveMode || again.ProxyType != loaded.ProxyType ||
        again.ProxyPort != loaded.ProxyPort || again.ResumeGetMode != loaded.ResumeGetMode ||
        again.Timeout != loaded.Timeout)
        abort();
    return 0;
}
