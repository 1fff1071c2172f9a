#include "platform/module.h"

#include <dlfcn.h>

void *platform_module_handle(void)
{
    Dl_info info;
    if (dladdr((void *)&platform_module_handle, &info) == 0)
        return nullptr;
    return info.dli_fbase;
}
