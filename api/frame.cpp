// The frame of the archiver interface: opening and closing handles, the version, the
// state and mode queries, cancel and the function list. A handle is the session's
// address; a null handle answers the export's failure value instead of crashing.
#include <atomic>
#include <cstring>

#include "api/kestrel.h"
#include "api/open_and_stamps.h"
#include "config/settings.h"
#include "platform/export.h"
#include "platform/module.h"
#include "session/session.h"
#include "util/text.h"
#include "util/url.h"

// Process-wide values that callers may set and that nothing reads.
static int32_t g_running;
static KESTREL_WINDOW g_owner_window;
static KESTREL_WINDOW g_owner_window_ex;
static intptr_t g_owner_value_ex;

// The TLS of an FTP scheme, or -1 for a scheme that is not FTP.
static int frame_tls_mode(const char *scheme)
{
    if (strcmp(scheme, "ftp") == 0)
        return SESSION_TLS_NONE;
    if (strcmp(scheme, "ftpes") == 0)
        return SESSION_TLS_EXPLICIT;
    if (strcmp(scheme, "ftps") == 0)
        return SESSION_TLS_IMPLICIT;
    return -1;
}

const char *kestrel_open_failure(HARC archive)
{
    FtpSession *session = (FtpSession *)archive;
    return session && session->failure.kind == FAILURE_TLS ? session->failure.text : "";
}

HARC frame_new_handle(void)
{
    return (HARC)session_create();
}

int frame_open_handle(HARC handle, const char *url, uint32_t mode)
{
    FtpSession *session = (FtpSession *)handle;
    if (!session || !url)
        return -1;
    failure_clear(&session->failure);
    if (!(mode & 2))
        settings_load();

    char scheme[URL_TEXT_SIZE], user[URL_TEXT_SIZE], password[URL_TEXT_SIZE];
    char host[URL_TEXT_SIZE], path[URL_TEXT_SIZE];
    int port = 0;
    if (parse_url(url, scheme, user, password, host, &port, path) != 0)
        return -1;
    int tls = frame_tls_mode(scheme);
    if (tls < 0)
        return -1;
    if (strcmp(user, "anonymous") == 0 && password[0] == '\0')
        text_copy(password, sizeof password, g_settings.EMailAddress);
    // The configured control port stands for plain FTP's 21 only.
    if (port == 21 && tls == SESSION_TLS_NONE)
        port = g_settings.FtpCtrlPort;
    if (tls != SESSION_TLS_NONE) {
        // The certificate must name the host of the URL, not where a proxy leads.
        TlsClientSettings checks = {g_settings.TlsVerify != 0 ? 1 : 0, g_settings.TlsCaFile, host};
        if (session_set_tls(session, tls, &checks) != 0)
            return -1;
    }

    // A negative stored limit means none, like 0.
    session_set_timeout(session, g_settings.Timeout > 0 ? g_settings.Timeout : 0);
    session_set_proxy(session, (uint32_t)g_settings.ProxyType, g_settings.ProxyHost,
                      (uint32_t)g_settings.ProxyPort);
    if (session_connect(session, host, port, user, password) != 0)
        return -1;
    // An out-of-range stored mode leaves the session's automatic choice in force.
    session_set_data_mode(session, g_settings.PassiveMode);
    if (session_open_dir(session, path) != 0)
        return -1;
    session_set_resume_mode(session, g_settings.ResumeGetMode);
    return 0;
}

extern "C" HARC KESTREL_API KestrelOpenArchive(KESTREL_WINDOW window, const char *url, uint32_t mode)
{
    (void)window;
    if (!url)
        return nullptr;
    HARC handle = frame_new_handle();
    if (handle && frame_open_handle(handle, url, mode) != 0) {
        KestrelCloseArchive(handle);
        handle = nullptr;
    }
    return handle;
}

extern "C" int KESTREL_API KestrelCloseArchive(HARC archive)
{
    if (archive)
        session_destroy((FtpSession *)archive);
    return 1;
}

extern "C" int KESTREL_API KestrelCheckArchive(const char *url, int mode)
{
    (void)mode;
    char scheme[URL_TEXT_SIZE], user[URL_TEXT_SIZE], password[URL_TEXT_SIZE];
    char host[URL_TEXT_SIZE], path[URL_TEXT_SIZE];
    int port = 0;
    if (!url || parse_url(url, scheme, user, password, host, &port, path) != 0)
        return 0;
    return frame_tls_mode(scheme) >= 0 ? 1 : 0;
}

extern "C" uint16_t KESTREL_API KestrelGetVersion(void)
{
    unsigned version[4];
    if (platform_file_version(version) != 0)
        return 0;
    return (uint16_t)(version[0] * 100 + version[1]);
}

extern "C" int KESTREL_API KestrelGetRunning(void)
{
    return g_running;
}

extern "C" uint16_t KESTREL_API KestrelGetCursorInterval(void)
{
    return 80;
}

extern "C" int KESTREL_API KestrelGetCursorMode(void)
{
    return 0;
}

extern "C" int KESTREL_API KestrelGetCRC(intptr_t ignored)
{
    (void)ignored;
    return 0;
}

KESTREL_EXPORT_ALIAS(int, KestrelGetBackGroundMode, (void), KestrelGetCursorMode)
KESTREL_EXPORT_ALIAS(int, KestrelIsSFXFile, (intptr_t), KestrelGetCRC)
KESTREL_EXPORT_ALIAS(int, KestrelSetBackGroundMode, (intptr_t), KestrelGetCRC)
KESTREL_EXPORT_ALIAS(int, KestrelSetCursorInterval, (intptr_t), KestrelGetCRC)
KESTREL_EXPORT_ALIAS(int, KestrelSetCursorMode, (intptr_t), KestrelGetCRC)

extern "C" int KESTREL_API KestrelSetOwnerWindow(KESTREL_WINDOW window)
{
    g_owner_window = window;
    return 0;
}

extern "C" int KESTREL_API KestrelClearOwnerWindow(void)
{
    g_owner_window = nullptr;
    return 0;
}

extern "C" int KESTREL_API KestrelSetOwnerWindowEx(KESTREL_WINDOW window, intptr_t value)
{
    g_owner_window_ex = window;
    g_owner_value_ex = value;
    return 0;
}

extern "C" int KESTREL_API KestrelKillOwnerWindowEx(intptr_t ignored)
{
    (void)ignored;
    g_owner_window_ex = nullptr;
    g_owner_value_ex = 0;
    return 0;
}

extern "C" int KESTREL_API KestrelSetDataConnectionMode(HARC archive, int mode)
{
    return session_set_data_mode((FtpSession *)archive, mode);
}

extern "C" int KESTREL_API KestrelSetCallbackMsgFunc(HARC archive, KESTREL_MESSAGE_CALLBACK callback,
                                                   intptr_t user)
{
    return session_set_callback((FtpSession *)archive, callback, user) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelCancel(HARC archive, int ignored)
{
    (void)ignored;
    return session_cancel((FtpSession *)archive) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelQueryFunctionList(int function)
{
    // 70 to 74 are the 64-bit queries: original and compressed size, the archive's
    // original and compressed totals, the write time.
    static const int supported[] = {0,  1,  8,  16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 40, 41,
                                    42, 45, 46, 47, 57, 58, 61, 62, 63, 64, 65, 66, 67, 68, 69, 70, 71, 72, 73, 74};
    for (int number : supported)
        if (number == function)
            return 1;
    return 0;
}
