#include "common.h"

#include <stdlib.h>
#include <string.h>

int capi_passed, capi_failed;

int capi_for_each_server(void (*fn)(const char *name, const char *host, int port))
{
    const char *list = getenv("KESTREL_FTP_SERVERS");
    char item[200];
    int count = 0;
    while (list && *list) {
        const char *end = strchr(list, ';');
        size_t len = end ? (size_t)(end - list) : strlen(list);
        if (len < sizeof item) {
            memcpy(item, list, len);
            item[len] = '\0';
            char *eq = strchr(item, '='), *colon = strrchr(item, ':');
            if (eq && colon && colon > eq) {
                *eq = '\0';
                *colon = '\0';
                /* Loopback only, whatever the environment says. */
                if (strncmp(eq + 1, "127.", 4) == 0) {
                    fn(item, eq + 1, atoi(colon + 1));
                    count++;
                }
            }
        }
        list = end ? end + 1 : NULL;
    }
    return count;
}

int capi_servers_missing(int seen)
{
    if (seen == 0 && getenv("KESTREL_REQUIRE_SERVERS")) {
        printf("KESTREL_REQUIRE_SERVERS is set but no server was named\n");
        return 1;
    }
    return 0;
}

int capi_finish(const char *program)
{
    printf("%s: %d passed, %d failed\n", program, capi_passed, capi_failed);
    return capi_failed == 0 ? 0 : 1;
}
