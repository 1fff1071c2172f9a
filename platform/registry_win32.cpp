#include "platform/registry.h"

#include <windows.h>

// Our root constants carry the registry's own numbers, but the HKEY values are spelled out
// here so nothing depends on how the headers cast them.
static HKEY registry_hkey(RegistryKey key)
{
    switch (key) {
    case REGISTRY_CLASSES_ROOT:
        return HKEY_CLASSES_ROOT;
    case REGISTRY_CURRENT_USER:
        return HKEY_CURRENT_USER;
    case REGISTRY_LOCAL_MACHINE:
        return HKEY_LOCAL_MACHINE;
    case REGISTRY_USERS:
        return HKEY_USERS;
    default:
        return (HKEY)key;
    }
}

static bool registry_is_root(RegistryKey key)
{
    return key >= REGISTRY_CLASSES_ROOT && key <= REGISTRY_USERS;
}

int platform_registry_open(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyA(registry_hkey(parent), subkey, &key);
    if (status == ERROR_SUCCESS)
        *out = (RegistryKey)key;
    return (int)status;
}

int platform_registry_create(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyA(registry_hkey(parent), subkey, &key);
    if (status == ERROR_SUCCESS)
        *out = (RegistryKey)key;
    return (int)status;
}

int platform_registry_query(RegistryKey key, const char *name, void *data, uint32_t *size,
                            uint32_t *type)
{
    DWORD stored_type = 0;
    DWORD length = *size;
    LONG status = RegQueryValueExA(registry_hkey(key), name, nullptr, &stored_type,
                                   (BYTE *)data, &length);
    *size = length;
    if (type != nullptr)
        *type = stored_type;
    return (int)status;
}

int platform_registry_set(RegistryKey key, const char *name, uint32_t type, const void *data,
                          uint32_t size)
{
    return (int)RegSetValueExA(registry_hkey(key), name, 0, type, (const BYTE *)data, size);
}

int platform_registry_close(RegistryKey key)
{
    if (registry_is_root(key))
        return REGISTRY_OK;
    return (int)RegCloseKey(registry_hkey(key));
}
