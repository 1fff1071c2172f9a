/* The one declaration of the C runtime's stdio that the example uses, for building it in
   MSVC mode on a machine without the Windows SDK's headers. The function comes from
   msvcrt.dll, through an import library that check-sdk writes. */
#ifndef KESTREL_MSVC_STDIO_H
#define KESTREL_MSVC_STDIO_H
#include <stddef.h>
int __cdecl printf(const char *format, ...);
#endif
