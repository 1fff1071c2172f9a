#include "platform/file.h"

#include <cstring>
#include <string>

#include <dirent.h>
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

int platform_list_folder(const char *path, LocalFolderTake take, void *user)
{
    if (path == nullptr || take == nullptr)
        return -1;
    DIR *folder = opendir(*path ? path : ".");
    if (folder == nullptr)
        return -1;
    std::string full;
    while (const struct dirent *item = readdir(folder)) {
        if (strcmp(item->d_name, ".") == 0 || strcmp(item->d_name, "..") == 0)
            continue;
        full.assign(*path ? path : ".");
        full += '/';
        full += item->d_name;
        // lstat: a link is reported as one, never as what it points to.
        struct stat status;
        if (lstat(full.c_str(), &status) != 0)
            continue;
        LocalFolderEntry entry;
        entry.name = item->d_name;
        entry.is_link = S_ISLNK(status.st_mode) ? 1 : 0;
        entry.is_directory = S_ISDIR(status.st_mode) ? 1 : 0;
        entry.size = S_ISREG(status.st_mode) ? (int64_t)status.st_size : 0;
        take(user, &entry);
    }
    closedir(folder);
    return 0;
}
