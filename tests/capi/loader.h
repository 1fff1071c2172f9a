/* Finds an export of the library at run time (dlopen / LoadLibraryA). */
#ifndef KESTREL_TEST_LOADER_H
#define KESTREL_TEST_LOADER_H

/* Loads the library by its usual name from the program's folder; 0 or -1. */
int loader_open(void);
/* The address of the named export, or null. */
void *loader_symbol(const char *name);

#endif
