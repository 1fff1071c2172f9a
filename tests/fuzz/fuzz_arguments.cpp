// The command entry's splitter with a response file: the fuzzer's bytes up to the first
// NUL are typed after "@<response file>", the bytes after it are the file's content.
// When neither part can name or spoil a file, the result must be the file's arguments
// followed by the typed ones.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "command/arguments.h"

namespace {

char g_folder[64];
char g_file[96];

void remove_folder(void)
{
    remove(g_file);
    rmdir(g_folder);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snprintf(g_folder, sizeof g_folder, "/tmp/kestrel-fuzz-args-XXXXXX");
    if (!mkdtemp(g_folder))
        abort();
    snprintf(g_file, sizeof g_file, "%s/response", g_folder);
    atexit(remove_folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *nul = (const uint8_t *)memchr(data, 0, size);
    std::string typed((const char *)data, nul ? (size_t)(nul - data) : size);
    std::string content;
    if (nul)
        content.assign((const char *)nul + 1, size - (size_t)(nul - data) - 1);

    FILE *out = fopen(g_file, "wb");
    if (!out)
        abort();
    if (!content.empty() && fwrite(content.data(), 1, content.size(), out) != content.size())
        abort();
    fclose(out);

    std::string line = std::string("@") + g_file + " " + typed;
    char **list = split_command_line(line.c_str());
    bool plain = typed.find('@') == std::string::npos &&
                 content.find('\0') == std::string::npos;
    if (plain) {
        if (!list)
            abort();
        char **from_file = tokenize_command_line(content.c_str());
        char **from_typed = tokenize_command_line(typed.c_str());
        int n_file = argument_count(from_file), n_typed = argument_count(from_typed);
        if (argument_count(list) != n_file + n_typed)
            abort();
        for (int i = 0; i < n_file; i++)
            if (strcmp(list[i], from_file[i]) != 0)
                abort();
        for (int i = 0; i < n_typed; i++)
            if (strcmp(list[n_file + i], from_typed[i]) != 0)
                abort();
        char **copy = pack_argument_list(list);
        if (!copy || argument_count(copy) != n_file + n_typed)
            abort();
        release_argument_list(copy);
        release_argument_list(from_file);
        release_argument_list(from_typed);
    } else if (!content.empty() && content.find('\0') != std::string::npos && list) {
        // A response file holding a NUL byte spoils the whole command line.
        abort();
    }
    release_argument_list(list);
    return 0;
}
