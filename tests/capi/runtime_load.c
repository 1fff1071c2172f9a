/* An outside caller written in C: binds the exports by name at run time and opens a
   handle on every real server. */
#include <stdio.h>
#include <string.h>

#include "api/kestrel.h"
#include "common.h"
#include "loader.h"

typedef uint16_t(KESTREL_API *GetVersionFn)(void);
typedef HARC(KESTREL_API *OpenArchiveFn)(KESTREL_WINDOW, const char *, uint32_t);
typedef int(KESTREL_API *CloseArchiveFn)(HARC);
typedef int(KESTREL_API *CheckArchiveFn)(const char *, int);
typedef int(KESTREL_API *OneValueFn)(intptr_t);
typedef int(KESTREL_API *NoArgumentFn)(void);
typedef int(KESTREL_API *QueryFn)(int);
typedef int(KESTREL_API *GetErrorFn)(HARC, char *, int);

static OpenArchiveFn open_archive;
static CloseArchiveFn close_archive;

static void open_and_close(const char *name, const char *host, int port)
{
    char url[300];
    snprintf(url, sizeof url, "ftp://anonymous:c-caller@%s:%d/sub", host, port);
    HARC archive = open_archive(NULL, url, 0);
    if (!archive)
        printf("%s: cannot open %s\n", name, url);
    CHECK(archive != NULL);
    CHECK(close_archive(archive) == 1);
}

int main(void)
{
    if (loader_open() != 0) {
        printf("cannot load the library\n");
        return 1;
    }
    GetVersionFn get_version = (GetVersionFn)loader_symbol("KestrelGetVersion");
    open_archive = (OpenArchiveFn)loader_symbol("KestrelOpenArchive");
    close_archive = (CloseArchiveFn)loader_symbol("KestrelCloseArchive");
    CheckArchiveFn check_archive = (CheckArchiveFn)loader_symbol("KestrelCheckArchive");
    QueryFn query = (QueryFn)loader_symbol("KestrelQueryFunctionList");
    CHECK(get_version && open_archive && close_archive && check_archive && query);
    if (!get_version || !open_archive || !close_archive || !check_archive || !query)
        return capi_finish("runtime_load");

    CHECK(get_version() == 15);
    CHECK(check_archive("FTP://host/dir", 0) == 1);
    CHECK(check_archive("http://host/dir", 0) == 0);
    /* The exports after the archiver set have no function number: they are found by name. */
    CHECK(query(69) == 1 && query(70) == 0 && query(74) == 0 && query(75) == 0);
    const char *by_name[] = {"KestrelGetOriginalSizeEx", "KestrelNewArchiveEx", "KestrelOpenArchiveEx",
                             "KestrelSetOptionEx"};
    for (size_t i = 0; i < sizeof by_name / sizeof by_name[0]; i++)
        CHECK(loader_symbol(by_name[i]) != NULL);
    GetErrorFn get_error = (GetErrorFn)loader_symbol("KestrelGetErrorEx");
    CHECK(get_error != NULL);
    if (get_error) {
        /* An open that gives no handle still says why. */
        char reason[100] = "";
        CHECK(open_archive(NULL, "ftp://127.0.0.1:1/", 2) == NULL);
        CHECK(get_error(NULL, reason, (int)sizeof reason) == KESTREL_FAILURE_REFUSED);
        CHECK(strncmp(reason, "connection refused", 18) == 0);
    }
    CHECK(close_archive(NULL) == 1);

    /* Names that share one implementation answer like it. */
    const char *shared_crc[] = {"KestrelGetCRC", "KestrelIsSFXFile", "KestrelSetBackGroundMode",
                                "KestrelSetCursorInterval", "KestrelSetCursorMode"};
    for (size_t i = 0; i < sizeof shared_crc / sizeof shared_crc[0]; i++) {
        OneValueFn fn = (OneValueFn)loader_symbol(shared_crc[i]);
        CHECK(fn != NULL);
        if (fn)
            CHECK(fn(12345) == 0);
    }
    NoArgumentFn background = (NoArgumentFn)loader_symbol("KestrelGetBackGroundMode");
    CHECK(background != NULL && background() == 0);
    CHECK(loader_symbol("KestrelNoSuchExport") == NULL);

    int seen = capi_for_each_server(open_and_close);
    if (capi_servers_missing(seen))
        return 1;
    return capi_finish("runtime_load");
}
