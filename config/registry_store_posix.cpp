// The settings store of a system without a registry: the operations of platform/registry.h
// on keys kept in one registry-format file (config/registry_file.h), at the place and
// under the lock that platform/store_file.h gives. A file that cannot be parsed is never
// rewritten: every change fails with REGISTRY_ERROR_BAD_STORE and every read finds
// nothing.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "config/registry_file.h"
#include "platform/registry.h"
#include "platform/store_file.h"
#include "util/text.h"

namespace {

// An opened key: where its file was when it was opened, and its full path there.
struct PosixKey {
    uint32_t magic;
    char folder[STORE_PATH_SIZE];
    char file[STORE_PATH_SIZE];
    std::string path;
};

const uint32_t KEY_MAGIC = 0x4b455952;  // "RYEK"
const size_t MAX_COMPONENT = 255;

const char *root_name(RegistryKey key)
{
    switch (key) {
    case REGISTRY_CLASSES_ROOT:
        return "HKEY_CLASSES_ROOT";
    case REGISTRY_CURRENT_USER:
        return "HKEY_CURRENT_USER";
    case REGISTRY_LOCAL_MACHINE:
        return "HKEY_LOCAL_MACHINE";
    case REGISTRY_USERS:
        return "HKEY_USERS";
    default:
        return nullptr;
    }
}

PosixKey *key_handle(RegistryKey key)
{
    if (root_name(key) != nullptr || key == 0)
        return nullptr;
    PosixKey *k = (PosixKey *)key;
    return k->magic == KEY_MAGIC ? k : nullptr;
}

int is_root_path(const std::string &path)
{
    return path.find('\\') == std::string::npos;
}

// Reads and parses the file; a missing file is an empty store (*exists 0).
int load_store(const char *file, RegistryFile *store, int *exists, unsigned *mode)
{
    store->preamble.clear();
    store->sections.clear();
    *exists = 0;
    char *text = nullptr;
    size_t length = 0;
    if (platform_store_read(file, &text, &length, mode) != 0)
        return REGISTRY_ERROR_CANT_READ;
    if (text == nullptr)
        return REGISTRY_OK;
    *exists = 1;
    int parsed = registry_file_parse(std::string(text, length), store);
    free(text);
    return parsed == 0 ? REGISTRY_OK : REGISTRY_ERROR_BAD_STORE;
}

int save_store(const PosixKey &key, const RegistryFile &store, unsigned mode)
{
    std::string text = registry_file_format(store);
    return platform_store_replace(key.folder, key.file, text.data(), text.size(), mode) == 0
               ? REGISTRY_OK
               : REGISTRY_ERROR_CANT_WRITE;
}

// parent + subkey into a full path with the file it lives in. Refuses empty components
// (a leading or doubled backslash) and names the file format cannot hold.
int resolve_key(RegistryKey parent, const char *subkey, PosixKey *out)
{
    if (subkey == nullptr)
        subkey = "";
    const char *root = root_name(parent);
    if (root != nullptr) {
        if (platform_store_location(out->folder, out->file) != 0)
            return REGISTRY_ERROR_NOT_FOUND;
        out->path = root;
    } else {
        PosixKey *k = key_handle(parent);
        if (k == nullptr)
            return REGISTRY_ERROR_INVALID_HANDLE;
        *out = *k;
    }
    std::string rest = subkey;
    if (!rest.empty() && rest.back() == '\\')
        rest.pop_back();  // the registry tolerates one trailing backslash
    if (rest.empty())
        return REGISTRY_OK;
    size_t start = 0;
    for (;;) {
        size_t end = rest.find('\\', start);
        if (end == std::string::npos)
            end = rest.size();
        size_t len = end - start;
        if (len == 0)
            return REGISTRY_ERROR_BAD_PATHNAME;
        if (len > MAX_COMPONENT)
            return REGISTRY_ERROR_INVALID_PARAMETER;
        if (end == rest.size())
            break;
        start = end + 1;
    }
    if (rest.find_first_of("\r\n") != std::string::npos)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    out->path += "\\" + rest;
    return REGISTRY_OK;
}

int hand_out(const PosixKey &resolved, RegistryKey *out)
{
    PosixKey *k = new (std::nothrow) PosixKey(resolved);
    if (k == nullptr)
        return REGISTRY_ERROR_NO_MEMORY;
    k->magic = KEY_MAGIC;
    *out = (RegistryKey)k;
    return REGISTRY_OK;
}

// The key a query or a change works on, even when it is a root.
int key_target(RegistryKey key, PosixKey *out)
{
    PosixKey *k = key_handle(key);
    if (k != nullptr) {
        *out = *k;
        return REGISTRY_OK;
    }
    if (root_name(key) == nullptr)
        return REGISTRY_ERROR_INVALID_HANDLE;
    return resolve_key(key, "", out);
}

}  // namespace

int platform_registry_open(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    PosixKey resolved;
    int status = resolve_key(parent, subkey, &resolved);
    if (status != REGISTRY_OK)
        return status;
    if (!is_root_path(resolved.path)) {
        RegistryFile store;
        int exists;
        status = load_store(resolved.file, &store, &exists, nullptr);
        if (status != REGISTRY_OK)
            return status;
        if (!registry_file_key_exists(store, resolved.path))
            return REGISTRY_ERROR_NOT_FOUND;
    }
    return hand_out(resolved, out);
}

int platform_registry_create(RegistryKey parent, const char *subkey, RegistryKey *out)
{
    PosixKey resolved;
    int status = resolve_key(parent, subkey, &resolved);
    if (status != REGISTRY_OK)
        return status;
    if (!is_root_path(resolved.path)) {
        if (platform_store_make_folder(resolved.folder) != 0)
            return REGISTRY_ERROR_CANT_WRITE;
        int lock = platform_store_lock(resolved.folder);
        if (lock < 0)
            return REGISTRY_ERROR_CANT_WRITE;
        RegistryFile store;
        int exists;
        unsigned mode = 0600;
        status = load_store(resolved.file, &store, &exists, &mode);
        if (status == REGISTRY_OK && (registry_file_add_key(&store, resolved.path) || !exists))
            status = save_store(resolved, store, mode);
        platform_store_unlock(lock);
        if (status != REGISTRY_OK)
            return status;
    }
    return hand_out(resolved, out);
}

int platform_registry_query(RegistryKey key, const char *name, void *data, uint32_t *size,
                            uint32_t *type)
{
    PosixKey target;
    int status = key_target(key, &target);
    if (status != REGISTRY_OK)
        return status;
    if (size == nullptr && data != nullptr)
        return REGISTRY_ERROR_INVALID_PARAMETER;
    RegistryFile store;
    int exists;
    status = load_store(target.file, &store, &exists, nullptr);
    if (status != REGISTRY_OK)
        return status;
    RegistryFileSection *section = registry_file_section(&store, target.path);
    RegistryFileValue *v = section != nullptr ? registry_file_value(section, name != nullptr ? name : "") : nullptr;
    if (v == nullptr)
        return REGISTRY_ERROR_NOT_FOUND;
    if (type != nullptr)
        *type = v->type;
    if (size == nullptr)
        return REGISTRY_OK;
    uint32_t have = *size;
    *size = (uint32_t)v->data.size();
    if (data == nullptr)
        return REGISTRY_OK;
    if (v->data.size() > have)
        return REGISTRY_ERROR_MORE_DATA;
    memcpy(data, v->data.data(), v->data.size());
    return REGISTRY_OK;
}

int platform_registry_set(RegistryKey key, const char *name, uint32_t type, const void *data,
                          uint32_t size)
{
    PosixKey target;
    int status = key_target(key, &target);
    if (status != REGISTRY_OK)
        return status;
    std::string value_name = name != nullptr ? name : "";
    if (value_name.find_first_of("\r\n") != std::string::npos || (data == nullptr && size > 0))
        return REGISTRY_ERROR_INVALID_PARAMETER;
    int lock = platform_store_lock(target.folder);
    if (lock < 0)
        return REGISTRY_ERROR_CANT_WRITE;
    RegistryFile store;
    int exists;
    unsigned mode = 0600;
    status = load_store(target.file, &store, &exists, &mode);
    if (status == REGISTRY_OK) {
        int changed = registry_file_set_value(&store, target.path, value_name, type,
                                              std::string((const char *)data, size));
        if (changed < 0)
            status = REGISTRY_ERROR_NOT_FOUND;  // deleted since it was opened
        else if (changed > 0)
            status = save_store(target, store, mode);
    }
    platform_store_unlock(lock);
    return status;
}

int platform_registry_close(RegistryKey key)
{
    if (root_name(key) != nullptr)
        return REGISTRY_OK;
    PosixKey *k = key_handle(key);
    if (k == nullptr)
        return REGISTRY_ERROR_INVALID_HANDLE;
    k->magic = 0;
    delete k;
    return REGISTRY_OK;
}
