// The process-wide preferences and the registry layer that keeps them under
// HKEY_CURRENT_USER\Software\VizivazuVOD\KESTREL.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

enum { SETTINGS_TEXT_SIZE = 1000, SETTINGS_MAX_CONNECTIONS = 8 };
// A stored text is read only when it fits in this many bytes, terminator included,
// although the fields hold more.
enum { SETTINGS_READ_LIMIT = 300 };

#define SETTINGS_KEY_PATH "HKEY_CURRENT_USER\\Software\\VizivazuVOD\\KESTREL"

// Field names are the registry value names that hold them.
struct Settings {
    char EMailAddress[SETTINGS_TEXT_SIZE];  // password for "anonymous" without one
    char DefaultDir[SETTINGS_TEXT_SIZE];    // download folder when the caller names none
    int32_t FtpCtrlPort;
    int32_t PassiveMode;                    // 0 active, 1 passive, 2 automatic
    int32_t ProxyType;                      // 0 none, 1 USER user@host, 2 OPEN, 3 open
    char ProxyHost[SETTINGS_TEXT_SIZE];
    int32_t ProxyPort;
    int32_t ResumeGetMode;                  // non-zero: downloads continue local files
    int32_t Timeout;                        // seconds a wait may go without progress; 0: none
    int32_t Connections;                    // logged-in connections of a folder transfer, 1 to 8
    // TLS certificates: checked (non-zero) or taken as they come (0); a PEM file of extra
    // trusted roots ("" none). On also before the first load, so that settings never
    // loaded cannot switch the check off.
    int32_t TlsVerify;
    char TlsCaFile[SETTINGS_TEXT_SIZE];
};

// The number of connections a folder transfer may use, brought into 1 to
// SETTINGS_MAX_CONNECTIONS (a stored 0 or a typo means one, as before the setting).
int32_t settings_connections_in_range(int32_t value);

// Zero (but TlsVerify) until the first settings_load; shared by every thread without a lock, so callers
// load, edit and save it from one thread at a time.
extern Settings g_settings;

// Sets the defaults, then takes every value the key holds. Never creates the key.
void settings_load(void);

// Creates the key if needed and writes every value the dialog edits (ten). 0, or -1 when the key cannot be
// opened for writing (nothing is written then).
int settings_save(void);

// --- Registry layer. A key path is a root name, a backslash and the sub-key path.

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
