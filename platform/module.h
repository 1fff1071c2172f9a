// Where the library itself lives: the module handle that Windows gives the DLL at load
// (for its resources), or the shared object's path on Linux.
#pragma once

// The library's module handle as an opaque value; null before the DLL was attached
// (for example in a test program that links the code statically).
void *platform_module_handle(void);

// The library's file version as four numbers (major, minor, patch, build). On Windows it
// is read from the DLL's own version resource; -1 when it cannot be found there.
int platform_file_version(unsigned version[4]);
