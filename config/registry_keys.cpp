#include "config/registry_keys.h"

#include <cstdlib>
#include <cstring>

#include "util/text.h"

RegistryKey registry_root_from_name(const char *path)
{
    static const struct {
        const char *name;
        RegistryKey root;
    } roots[] = {
        {"HKEY_CLASSES_ROOT", REGISTRY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", REGISTRY_CURRENT_USER},
        {"HKEY_LOCAL_MACHINE", REGISTRY_LOCAL_MACHINE},
        {"HKEY_USERS", REGISTRY_USERS},
    };
    if (path == nullptr)
        return 0;
    for (const auto &r : roots) {
        if (strncmp(path, r.name, strlen(r.name)) == 0)
            return r.root;
    }
    return 0;
}

const char *registry_subkey(const char *path)
{
    if (path == nullptr)
        return nullptr;
    const char *slash = strchr(path, '\\');
    return slash != nullptr ? slash + 1 : nullptr;
}

// One body for open and create, so both refuse a bad path the same way before the store
// is asked anything.
static int registry_key_by_path(const char *path, RegistryKey *out, bool create)
{
    RegistryKey root = registry_root_from_name(path);
    const char *subkey = registry_subkey(path);
    if (root == 0 || subkey == nullptr || out == nullptr)
        return -1;
    return create ? platform_registry_create(root, subkey, out)
                  : platform_registry_open(root, subkey, out);
}

int registry_open_key(const char *path, RegistryKey *out)
{
    return registry_key_by_path(path, out, false);
}

int registry_create_key(const char *path, RegistryKey *out)
{
    return registry_key_by_path(path, out, true);
}

int registry_close_key(RegistryKey key)
{
    return platform_registry_close(key);
}

int32_t registry_read_dword(RegistryKey key, const char *name, int32_t default_value)
{
    unsigned char bytes[4];
    uint32_t size = sizeof bytes;
    if (platform_registry_query(key, name, bytes, &size, nullptr) != REGISTRY_OK)
        return default_value;
    // Shorter data would leave bytes of nothing in the number.
    if (size != sizeof bytes)
        return default_value;
    uint32_t v = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                 (uint32_t)bytes[3] << 24;
    return (int32_t)v;
}

char *registry_read_string(RegistryKey key, const char *name, char *buffer, size_t limit,
                           const char *default_text)
{
    if (buffer == nullptr || limit == 0)
        return nullptr;
    // The query goes to a scratch buffer: a failed query may leave anything behind, and
    // the default may be the caller's buffer itself.
    char *scratch = (char *)malloc(limit);
    bool ok = false;
    if (scratch != nullptr) {
        uint32_t size = limit > UINT32_MAX ? UINT32_MAX : (uint32_t)limit;
        if (platform_registry_query(key, name, scratch, &size, nullptr) == REGISTRY_OK) {
            // Stored bytes need not end in a terminator (another type, or a text written
            // without one): such a text counts as fitting only if the terminator still fits.
            if (size < limit) {
                scratch[size] = '\0';
                ok = true;
            } else if (size == limit && scratch[size - 1] == '\0') {
                ok = true;
            }
        }
        if (ok)
            text_copy(buffer, limit, scratch);
        free(scratch);
    }
    if (ok)
        return buffer;
    if (default_text == nullptr)
        return nullptr;
    if (default_text != buffer)
        text_copy(buffer, limit, default_text);
    else
        buffer[strnlen(buffer, limit - 1)] = '\0';
    return buffer;
}

int registry_write_dword(RegistryKey key, const char *name, int32_t value)
{
    uint32_t v = (uint32_t)value;
    unsigned char bytes[4] = {(unsigned char)v, (unsigned char)(v >> 8),
                              (unsigned char)(v >> 16), (unsigned char)(v >> 24)};
    return platform_registry_set(key, name, REGISTRY_TYPE_DWORD, bytes, sizeof bytes);
}

int registry_write_string(RegistryKey key, const char *name, const char *text)
{
    if (text == nullptr)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    size_t len = strlen(text);
    if (len >= UINT32_MAX)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    return platform_registry_set(key, name, REGISTRY_TYPE_SZ, text, (uint32_t)len + 1);
}
