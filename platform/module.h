// Where the library itself lives: the module handle that Windows gives the DLL at load
// (for its resources), or the shared object's path on Linux.
#pragma once

// The library's module handle as an opaque value; null before the DLL was attached
// (for example in a test program that links the code statically).
void *platform_module_handle(void);
