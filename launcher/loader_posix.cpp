#include "launcher/loader.h"

#include <climits>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

typedef unsigned short (*VersionFunction)(void);
typedef int (*EntryFunction)(void *window, const char *command, char *report, int size);

static VersionFunction g_version;
static EntryFunction g_entry;

// The folder of the running program, from the kernel rather than argv[0], which need
// not name a path at all.
static std::string program_folder(void)
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    std::string text(path);
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

LoaderStatus loader_bind(const char *program)
{
    (void)program;
    // Beside the program (the build folder), then in the installed layout's lib folder
    // beside bin (an SDK or package unpacked anywhere), then the system's search.
    void *library = nullptr;
    std::string folder = program_folder();
    if (!folder.empty())
        library = dlopen((folder + "libkestrel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && !folder.empty())
        library = dlopen((folder + "../lib/libkestrel.so.0").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        library = dlopen("libkestrel.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        library = dlopen("libkestrel.so", RTLD_NOW | RTLD_LOCAL);
    if (!library)
        return LOADER_NO_LIBRARY;
    g_version = (VersionFunction)dlsym(library, "KestrelGetVersion");
    if (!g_version)
        return LOADER_NO_VERSION;
    g_entry = (EntryFunction)dlsym(library, "Kestrel");
    if (!g_entry)
        return LOADER_NO_ENTRY;
    return LOADER_OK;
}

int loader_run(const char *command, char *report, int size)
{
    g_version();
    return g_entry(nullptr, command, report, size);
}

int loader_version(void)
{
    return g_version();
}

void loader_binary_output(void)
{
}

int loader_output_is_terminal(void)
{
    return isatty(STDOUT_FILENO) ? 1 : 0;
}

int loader_exit_status(int result)
{
    // Only the low byte reaches the parent; a failure whose low byte is 0 must not
    // read as success there.
    if (result != 0 && (result & 0xFF) == 0)
        return 1;
    return result & 0xFF;
}
