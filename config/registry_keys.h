// The registry layer: keys named by their whole path, values read and written as numbers
// and texts of a bounded size, over the store of platform/registry.h. A key path is a root
// name, a backslash and the sub-key path.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

// The root whose name the path begins with (a plain prefix test, so "HKEY_USERSX\a" names
// HKEY_USERS), or 0 for none.
RegistryKey registry_root_from_name(const char *path);

// The text after the first backslash, or null when there is none.
const char *registry_subkey(const char *path);

// Open an existing key / open or create one. The store's status (0 for success), or -1
// without touching the store when the path names no root or has no sub-key.
int registry_open_key(const char *path, RegistryKey *out);
int registry_create_key(const char *path, RegistryKey *out);
int registry_close_key(RegistryKey key);

// The 4 stored bytes as a little-endian number; the default when the value is missing or
// its data is not exactly 4 bytes long, whatever its type.
int32_t registry_read_dword(RegistryKey key, const char *name, int32_t default_value);

// Reads a text of at most `limit` bytes (terminator included) into `buffer`, which holds at
// least `limit` bytes. On failure (missing, too long) copies `default_text` (which may be
// `buffer` itself: then it keeps its text) and returns buffer, or null when there is no
// default. The buffer is always terminated.
char *registry_read_string(RegistryKey key, const char *name, char *buffer, size_t limit,
                           const char *default_text);

// Store a REG_DWORD of 4 bytes / a REG_SZ with its terminator. The store's status.
int registry_write_dword(RegistryKey key, const char *name, int32_t value);
int registry_write_string(RegistryKey key, const char *name, const char *text);
