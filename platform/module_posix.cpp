#include "platform/module.h"

#include <dlfcn.h>

void *platform_module_handle(void)
{
    Dl_info info;
    if (dladdr((void *)&platform_module_handle, &info) == 0)
        return nullptr;
    return info.dli_fbase;
}

#include "kestrel_version.h"

int platform_file_version(unsigned version[4])
{
    version[0] = KESTREL_VERSION_MAJOR;
    version[1] = KESTREL_VERSION_MINOR;
    version[2] = KESTREL_VERSION_PATCH;
    version[3] = KESTREL_VERSION_TWEAK;
    return 0;
}
