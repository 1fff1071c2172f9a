#include "loader.h"

#include <string.h>
#include <windows.h>

static HMODULE library;

int loader_open(void)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path - 32);
    if (n == 0 || n >= sizeof path - 32)
        return -1;
    char *slash = strrchr(path, '\\');
    if (!slash)
        return -1;
    /* The program lives in tests\ below the build folder that holds the DLL. */
    strcpy(slash, "\\..\\kestrel.dll");
    library = LoadLibraryA(path);
    return library ? 0 : -1;
}

void *loader_symbol(const char *name)
{
    return library ? (void *)GetProcAddress(library, name) : NULL;
}
