// The process-wide preferences, kept under HKEY_CURRENT_USER\Software\VizivazuVOD\KESTREL
// through the registry layer (config/registry_keys.h).
#pragma once
#include <cstddef>
#include <cstdint>

#include "config/registry_keys.h"

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
    // Listings through MLSD where the server offers it (non-zero), else always LIST.
    int32_t UseMLSD;
    // The character set of the server's names: "" picks it (UTF-8 when the server
    // announces it, else the caller's own), or a name such as "Shift_JIS".
    char ServerCharset[SETTINGS_TEXT_SIZE];
};

// The number of connections a folder transfer may use, brought into 1 to
// SETTINGS_MAX_CONNECTIONS (a stored 0 or a typo means one, as before the setting).
int32_t settings_connections_in_range(int32_t value);

// 1 when the name is "" (automatic) or a character set the system converts names from,
// else 0: a typo would otherwise leave every name unconverted without a word.
int settings_charset_known(const char *name);

// Zero (but TlsVerify) until the first settings_load; shared by every thread without a lock, so callers
// load, edit and save it from one thread at a time.
extern Settings g_settings;

// Sets the defaults, then takes every value the key holds. Never creates the key.
void settings_load(void);

// Creates the key if needed and writes every value the dialog edits (twelve). 0, or -1 when the key cannot be
// opened for writing (nothing is written then).
int settings_save(void);
