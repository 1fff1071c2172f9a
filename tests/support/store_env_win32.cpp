#include "tests/support/store_env.h"

#include <windows.h>

void store_env_cleanup(void)
{
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL");
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD");
}

void store_env_reset(void)
{
    store_env_cleanup();
}

std::string store_env_file(void)
{
    return "";
}

bool store_env_untouched(void)
{
    HKEY key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD", &key) != ERROR_SUCCESS)
        return true;
    RegCloseKey(key);
    return false;
}
