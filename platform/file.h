// Local files of any size on both targets: the C runtime's 32-bit sizes and offsets of
// the Windows build would misread files of 2 GiB and more.
#pragma once

#include <cstdint>
#include <cstdio>

struct LocalFileInfo {
    int is_directory;
    int64_t size;  // bytes; 0 for a directory
};

// 0 with *info filled when something exists at path, -1 when nothing does (or it cannot
// be looked at).
int platform_file_info(const char *path, LocalFileInfo *info);

// 1 when c separates the components of a local path: '/' on both targets, and '\\' too
// on Windows (on Linux it is an ordinary character of a name).
int platform_is_path_separator(char c);

// fopen with the C library's modes; a file opened for appending ('a') writes at its end
// whatever its size.
FILE *platform_file_open(const char *path, const char *mode);

// Makes one folder (not its parents); 0, or -1 when it cannot be made or exists already.
int platform_make_directory(const char *path);

// Makes the folder at path with every level of it that is missing (a trailing separator
// is allowed). 0 when a folder is there at the end; -1 when a level cannot be made or a
// file stands in its place (errno says why).
int platform_make_folders(const char *path);

// Removes a file; 0, or -1 when it cannot be removed.
int platform_remove_file(const char *path);

// One entry of a local folder: its name, whether it is a folder, and whether it is a
// symbolic link (or another reparse point on Windows), which a walk must not follow.
struct LocalFolderEntry {
    const char *name;
    int is_directory;
    int is_link;
    int64_t size;
};

typedef void (*LocalFolderTake)(void *user, const LocalFolderEntry *entry);

// Hands every entry of the folder at path to take ("." and ".." left out), in the
// system's order. 0, or -1 when the folder cannot be read (errno says why).
int platform_list_folder(const char *path, LocalFolderTake take, void *user);
