#include "platform/file.h"

#include <sys/stat.h>

int platform_file_info(const char *path, LocalFileInfo *info)
{
    struct stat status;
    if (path == nullptr || info == nullptr || stat(path, &status) != 0)
        return -1;
    info->is_directory = S_ISDIR(status.st_mode) ? 1 : 0;
    info->size = info->is_directory ? 0 : (int64_t)status.st_size;
    return 0;
}

int platform_is_path_separator(char c)
{
    return c == '/';
}

FILE *platform_file_open(const char *path, const char *mode)
{
    if (path == nullptr || mode == nullptr)
        return nullptr;
    return fopen(path, mode);
}

int platform_make_directory(const char *path)
{
    return mkdir(path, 0777) == 0 ? 0 : -1;
}
