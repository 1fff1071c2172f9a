#include "platform/file.h"

#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>

#include <direct.h>

int platform_file_info(const char *path, LocalFileInfo *info)
{
    struct _stati64 status;
    if (path == nullptr || info == nullptr || _stati64(path, &status) != 0)
        return -1;
    info->is_directory = (status.st_mode & _S_IFDIR) ? 1 : 0;
    info->size = info->is_directory ? 0 : (int64_t)status.st_size;
    return 0;
}

int platform_is_path_separator(char c)
{
    return c == '/' || c == '\\';
}

FILE *platform_file_open(const char *path, const char *mode)
{
    if (path == nullptr || mode == nullptr)
        return nullptr;
    FILE *file = fopen(path, mode);
    // The runtime's own notion of the end of an appended file is a 32-bit offset: put the
    // position at the real end, so every count that follows starts there.
    if (file != nullptr && strchr(mode, 'a') != nullptr)
        _fseeki64(file, 0, SEEK_END);
    return file;
}

int platform_make_directory(const char *path)
{
    return _mkdir(path) == 0 ? 0 : -1;
}
