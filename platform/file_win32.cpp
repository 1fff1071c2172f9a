#include "platform/file.h"

#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>

#include <direct.h>
#include <windows.h>

#include <cerrno>
#include <string>

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

int platform_list_folder(const char *path, LocalFolderTake take, void *user)
{
    if (path == nullptr || take == nullptr)
        return -1;
    std::string pattern(*path ? path : ".");
    if (!platform_is_path_separator(pattern.back()))
        pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // An empty folder still has "." and ".."; nothing at all means no folder.
        errno = ENOENT;
        return -1;
    }
    do {
        if (strcmp(found.cFileName, ".") == 0 || strcmp(found.cFileName, "..") == 0)
            continue;
        LocalFolderEntry entry;
        entry.name = found.cFileName;
        entry.is_link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
        entry.is_directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
        entry.size = entry.is_directory ? 0 : (int64_t)(((uint64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow);
        take(user, &entry);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 0;
}
