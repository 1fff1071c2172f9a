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
