#include "platform/tempfile.h"

#include <windows.h>

#include "util/text.h"

int platform_temp_file(const char *tag, char *path, size_t size)
{
    if (tag == nullptr || path == nullptr || size == 0)
        return -1;
    path[0] = '\0';
    char folder[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length >= sizeof folder)
        return -1;
    // GetTempFileNameA with a unique number of 0 tries names until it creates one that
    // did not exist (CREATE_NEW), and writes at most MAX_PATH bytes.
    char name[MAX_PATH];
    if (GetTempFileNameA(folder, tag, 0, name) == 0)
        return -1;
    if (text_copy(path, size, name) != 0) {
        DeleteFileA(name);
        path[0] = '\0';
        return -1;
    }
    return 0;
}
