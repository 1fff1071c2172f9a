// The local file helpers that are the same on both targets: built from the target's own
// calls in file_posix.cpp and file_win32.cpp.
#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

enum { FOLDER_PATH_SIZE = 4096 };

int platform_make_folders(const char *path)
{
    if (path == nullptr || *path == '\0') {
        errno = EINVAL;
        return -1;
    }
    char level[FOLDER_PATH_SIZE];
    size_t length = strlen(path);
    if (length >= sizeof level) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(level, path, length + 1);
    // Each level in turn, from the first after a root or a drive ("/", "C:\").
    for (size_t i = 1; i <= length; i++) {
        if (i < length && !platform_is_path_separator(level[i]))
            continue;
        if (i < length && level[i - 1] == ':')
            continue;
        // A trailing or doubled separator ends no new level; Windows' stat refuses "a/"
        // even where the folder a exists.
        if (platform_is_path_separator(level[i - 1]))
            continue;
        char kept = level[i];
        level[i] = '\0';
        LocalFileInfo info;
        if (platform_file_info(level, &info) != 0) {
            if (platform_make_directory(level) == 0) {
                level[i] = kept;
                continue;
            }
            // Another process may have made it meanwhile.
            int error = errno;
            if (platform_file_info(level, &info) != 0) {
                errno = error;
                return -1;
            }
        }
        if (!info.is_directory) {
            errno = ENOTDIR;
            return -1;
        }
        level[i] = kept;
    }
    return 0;
}

int platform_remove_file(const char *path)
{
    return path != nullptr && remove(path) == 0 ? 0 : -1;
}
