// Under Windows the settings go to the real registry: look at them with its own API.
#include "config/settings.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/support/store_env.h"
#include "util/text.h"

TEST(SettingsRegistry, SaveLandsInTheCurrentUsersKey)
{
    store_env_reset();
    settings_load();
    g_settings.FtpCtrlPort = 2121;
    text_copy(g_settings.ProxyHost, sizeof g_settings.ProxyHost, "127.0.0.3");
    ASSERT_EQ(0, settings_save());

    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key));
    DWORD type = 0, number = 0, size = sizeof number;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "FtpCtrlPort", nullptr, &type, (BYTE *)&number, &size));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    EXPECT_EQ(2121u, number);
    char text[64];
    size = sizeof text;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "ProxyHost", nullptr, &type, (BYTE *)text, &size));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(10u, size);
    EXPECT_STREQ("127.0.0.3", text);

    // A text written by another program through the registry itself is no number.
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "FtpCtrlPort", 0, REG_SZ, (const BYTE *)"2121", 5));
    RegCloseKey(key);
    settings_load();
    EXPECT_EQ(21, g_settings.FtpCtrlPort);
    store_env_cleanup();
}
