#include "platform/module.h"

#include <windows.h>

static HINSTANCE g_module;

// The system calls this for every attach and detach; recording the handle is all the
// library does at load, so loading never touches the network, the registry or a window.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reason;
    (void)reserved;
    g_module = instance;
    return TRUE;
}

void *platform_module_handle(void)
{
    return g_module;
}

int platform_file_version(unsigned version[4])
{
    HRSRC info = FindResourceA(g_module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16) /* RT_VERSION */);
    if (!info)
        return -1;
    HGLOBAL loaded = LoadResource(g_module, info);
    const unsigned char *block = loaded ? (const unsigned char *)LockResource(loaded) : nullptr;
    DWORD size = SizeofResource(g_module, info);
    if (!block)
        return -1;
    // The fixed part follows the key "VS_VERSION_INFO"; its signature marks it.
    for (DWORD at = 0; at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        const VS_FIXEDFILEINFO *fixed = (const VS_FIXEDFILEINFO *)(block + at);
        if (fixed->dwSignature == 0xFEEF04BD) {
            version[0] = HIWORD(fixed->dwFileVersionMS);
            version[1] = LOWORD(fixed->dwFileVersionMS);
            version[2] = HIWORD(fixed->dwFileVersionLS);
            version[3] = LOWORD(fixed->dwFileVersionLS);
            return 0;
        }
    }
    return -1;
}
