// The file that holds the settings store where the system has no registry
// (platform/store_file_posix.cpp): where it lives, reading it whole, replacing it whole, and
// the lock a read-modify-write holds. What the text means is config/registry_file.h's.
#pragma once

#include <cstddef>

enum { STORE_PATH_SIZE = 4096 };

// The store's folder ($XDG_CONFIG_HOME/kestrel when that is an absolute path, else
// ~/.config/kestrel) and its file (registry.reg in it), each in STORE_PATH_SIZE bytes.
// 0, or -1 when no home folder is known or a path does not fit.
int platform_store_location(char *folder, char *file);

// Makes the folder and its missing parents, private to the owner. 0, or -1 when the
// folder is not there afterwards.
int platform_store_make_folder(const char *folder);

// Reads the whole file into *text (malloc'd, NUL added, *length bytes without it) and its
// permission bits into *mode (may be null). 0; also 0 with *text null when there is no
// file. -1 when it cannot be read, is no regular file or is larger than 64 MiB.
int platform_store_read(const char *file, char **text, size_t *length, unsigned *mode);

// Replaces the file with the text: written to a temporary file beside it with the mode,
// flushed, renamed over it, and the rename flushed, so a reader sees the old or the new
// file, never a torn one. 0, or -1 with the old file left as it was.
int platform_store_replace(const char *folder, const char *file, const char *text, size_t length,
                           unsigned mode);

// Takes the exclusive lock of the folder's store for a whole read-modify-write: the lock
// to give back to platform_store_unlock, or -1.
int platform_store_lock(const char *folder);
void platform_store_unlock(int lock);
