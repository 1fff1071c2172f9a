#include "config/settings.h"

#include <cstring>

#include "platform/charset.h"
#include "util/text.h"

// Zero but for the certificate check, which only a stored TlsVerify of 0 turns off, and
// MLSD listings, which are the default whether the settings were loaded or not.
static Settings initial_settings(void)
{
    Settings s = {};
    s.TlsVerify = 1;
    s.UseMLSD = 1;
    return s;
}

Settings g_settings = initial_settings();

int32_t settings_connections_in_range(int32_t value)
{
    if (value < 1)
        return 1;
    return value > SETTINGS_MAX_CONNECTIONS ? SETTINGS_MAX_CONNECTIONS : value;
}

int settings_charset_known(const char *name)
{
    char probe[8];
    return name[0] == '\0' || platform_charset_convert(name, "", "a", probe, sizeof probe, nullptr) == 0;
}

void settings_load(void)
{
    Settings *s = &g_settings;
    s->EMailAddress[0] = '\0';
    s->DefaultDir[0] = '\0';
    s->ProxyHost[0] = '\0';
    s->FtpCtrlPort = 21;
    s->PassiveMode = 2;
    s->ProxyType = 0;
    s->ProxyPort = 21;
    s->ResumeGetMode = 0;
    // What common command-line clients wait before they give up on a server.
    s->Timeout = 300;
    s->Connections = 1;
    s->TlsVerify = 1;
    s->TlsCaFile[0] = '\0';
    s->UseMLSD = 1;
    s->ServerCharset[0] = '\0';

    RegistryKey key;
    if (registry_open_key(SETTINGS_KEY_PATH, &key) != REGISTRY_OK)
        return;
    registry_read_string(key, "EMailAddress", s->EMailAddress, SETTINGS_READ_LIMIT,
                         s->EMailAddress);
    registry_read_string(key, "DefaultDir", s->DefaultDir, SETTINGS_READ_LIMIT, s->DefaultDir);
    s->FtpCtrlPort = registry_read_dword(key, "FtpCtrlPort", s->FtpCtrlPort);
    s->PassiveMode = registry_read_dword(key, "PassiveMode", s->PassiveMode);
    s->ProxyType = registry_read_dword(key, "ProxyType", s->ProxyType);
    s->ProxyPort = registry_read_dword(key, "ProxyPort", s->ProxyPort);
    registry_read_string(key, "ProxyHost", s->ProxyHost, SETTINGS_READ_LIMIT, s->ProxyHost);
    s->ResumeGetMode = registry_read_dword(key, "ResumeGetMode", s->ResumeGetMode);
    s->Timeout = registry_read_dword(key, "Timeout", s->Timeout);
    s->Connections = registry_read_dword(key, "Connections", s->Connections);
    s->TlsVerify = registry_read_dword(key, "TlsVerify", s->TlsVerify);
    registry_read_string(key, "TlsCaFile", s->TlsCaFile, SETTINGS_READ_LIMIT, s->TlsCaFile);
    s->UseMLSD = registry_read_dword(key, "UseMLSD", s->UseMLSD);
    registry_read_string(key, "ServerCharset", s->ServerCharset, SETTINGS_READ_LIMIT, s->ServerCharset);
    registry_close_key(key);
}

int settings_save(void)
{
    const Settings *s = &g_settings;
    RegistryKey key;
    if (registry_create_key(SETTINGS_KEY_PATH, &key) != REGISTRY_OK)
        return -1;
    // A failed write leaves the others worth trying; the caller has no use for the status.
    registry_write_string(key, "EMailAddress", s->EMailAddress);
    registry_write_string(key, "DefaultDir", s->DefaultDir);
    registry_write_dword(key, "FtpCtrlPort", s->FtpCtrlPort);
    registry_write_dword(key, "PassiveMode", s->PassiveMode);
    registry_write_dword(key, "ProxyType", s->ProxyType);
    registry_write_dword(key, "ProxyPort", s->ProxyPort);
    registry_write_string(key, "ProxyHost", s->ProxyHost);
    registry_write_dword(key, "ResumeGetMode", s->ResumeGetMode);
    registry_write_dword(key, "Timeout", s->Timeout);
    registry_write_dword(key, "Connections", s->Connections);
    registry_write_dword(key, "UseMLSD", s->UseMLSD);
    registry_write_string(key, "ServerCharset", s->ServerCharset);
    registry_close_key(key);
    return 0;
}
