// The hierarchical settings store underneath config/settings.cpp: the real registry on
// Windows (platform/registry_win32.cpp), a registry-format text file on Linux
// (config/registry_store_posix.cpp, over platform/store_file.h). Both answer with Windows
// error codes so the portable layer reads one set of statuses.
#pragma once
#include <cstddef>
#include <cstdint>

// A predefined root or a key opened by platform_registry_open/create. Opened keys must be
// closed with platform_registry_close; closing a root does nothing.
typedef uintptr_t RegistryKey;

const RegistryKey REGISTRY_CLASSES_ROOT = 0x80000000u;
const RegistryKey REGISTRY_CURRENT_USER = 0x80000001u;
const RegistryKey REGISTRY_LOCAL_MACHINE = 0x80000002u;
const RegistryKey REGISTRY_USERS = 0x80000003u;

// Value types, numbered as the registry numbers them.
enum {
    REGISTRY_TYPE_NONE = 0,
    REGISTRY_TYPE_SZ = 1,
    REGISTRY_TYPE_EXPAND_SZ = 2,
    REGISTRY_TYPE_BINARY = 3,
    REGISTRY_TYPE_DWORD = 4,
    REGISTRY_TYPE_MULTI_SZ = 7,
    REGISTRY_TYPE_QWORD = 11,
};

// Statuses (the Windows error numbers of the same meaning).
enum {
    REGISTRY_OK = 0,
    REGISTRY_ERROR_NOT_FOUND = 2,
    REGISTRY_ERROR_ACCESS_DENIED = 5,
    REGISTRY_ERROR_INVALID_HANDLE = 6,
    REGISTRY_ERROR_NO_MEMORY = 8,
    REGISTRY_ERROR_INVALID_PARAMETER = 87,
    REGISTRY_ERROR_BAD_PATHNAME = 161,
    REGISTRY_ERROR_MORE_DATA = 234,
    REGISTRY_ERROR_BAD_STORE = 1009,  // the store exists but cannot be parsed
    REGISTRY_ERROR_CANT_READ = 1012,
    REGISTRY_ERROR_CANT_WRITE = 1013,
};

// Opens the existing key `subkey` below `parent` (a root or an open key); an empty subkey
// opens the parent again. Components are separated by single backslashes.
int platform_registry_open(RegistryKey parent, const char *subkey, RegistryKey *out);

// Opens the key, creating it and any missing parents first.
int platform_registry_create(RegistryKey parent, const char *subkey, RegistryKey *out);

// Copies the stored bytes of value `name` into `data` when they fit in *size bytes; sets
// *size to the stored length and *type (may be null) to the stored type. When they do not
// fit the status is REGISTRY_ERROR_MORE_DATA and *size holds the length needed. A null
// `data` asks for the length and type only.
int platform_registry_query(RegistryKey key, const char *name, void *data, uint32_t *size,
                            uint32_t *type);

// Stores `size` bytes as value `name` with the given type, replacing any earlier value.
int platform_registry_set(RegistryKey key, const char *name, uint32_t type, const void *data,
                          uint32_t size);

int platform_registry_close(RegistryKey key);
