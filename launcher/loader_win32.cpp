#include "launcher/loader.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

typedef WORD(WINAPI *VersionFunction)(void);
typedef int(WINAPI *EntryFunction)(HWND window, LPCSTR command, LPSTR report, int size);

static VersionFunction g_version;
static EntryFunction g_entry;

LoaderStatus loader_bind(const char *program)
{
    (void)program;
    // The system's search looks in the program's own folder first.
    HMODULE library = LoadLibraryA("kestrel.dll");
    if (!library)
        return LOADER_NO_LIBRARY;
    g_version = (VersionFunction)(void *)GetProcAddress(library, "KestrelGetVersion");
    if (!g_version)
        return LOADER_NO_VERSION;
    g_entry = (EntryFunction)(void *)GetProcAddress(library, "Kestrel");
    if (!g_entry)
        return LOADER_NO_ENTRY;
    return LOADER_OK;
}

int loader_run(const char *command, char *report, int size)
{
    g_version();
    return g_entry(NULL, command, report, size);
}

int loader_version(void)
{
    return g_version();
}

void loader_binary_output(void)
{
    // Text mode would turn every LF of a printed file into CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
}

int loader_output_is_terminal(void)
{
    return _isatty(_fileno(stdout)) ? 1 : 0;
}

int loader_exit_status(int result)
{
    return result;
}
