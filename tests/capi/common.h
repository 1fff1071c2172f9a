/* Shared by the C programs that use the library as an outside caller would. */
#ifndef KESTREL_TEST_CAPI_COMMON_H
#define KESTREL_TEST_CAPI_COMMON_H

#include <stdio.h>

extern int capi_passed, capi_failed;

#define CHECK(cond)                                                           \
    do {                                                                      \
        if (cond) {                                                           \
            capi_passed++;                                                    \
        } else {                                                              \
            capi_failed++;                                                    \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
        }                                                                     \
    } while (0)

/* Calls fn with the URL of every real server from KESTREL_FTP_SERVERS; the count. */
int capi_for_each_server(void (*fn)(const char *name, const char *host, int port));
/* 0 when the servers are there or not required; 1 (and a message) when required but absent. */
int capi_servers_missing(int seen);
int capi_finish(const char *program);

#endif
