/* An outside caller written in C that links against the library (on Windows through
   the import library with the decorated stdcall names). */
#include <stdio.h>

#include "api/kestrel.h"
#include "common.h"

static void open_and_close(const char *name, const char *host, int port)
{
    char url[300];
    snprintf(url, sizeof url, "ftp://anonymous:c-caller@%s:%d/", host, port);
    HARC archive = KestrelOpenArchive(NULL, url, 0);
    if (!archive)
        printf("%s: cannot open %s\n", name, url);
    CHECK(archive != NULL);
    CHECK(KestrelSetDataConnectionMode(archive, 1) == 0);
    CHECK(KestrelSetDataConnectionMode(archive, 3) == -1);
    CHECK(KestrelCloseArchive(archive) == 1);
}

int main(void)
{
    CHECK(KestrelGetVersion() == 15);
    CHECK(KestrelGetCursorInterval() == 80);
    CHECK(KestrelIsSFXFile(7) == 0);
    CHECK(KestrelGetBackGroundMode() == 0);
    int seen = capi_for_each_server(open_and_close);
    if (capi_servers_missing(seen))
        return 1;
    return capi_finish("import_link");
}
