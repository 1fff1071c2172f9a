// The frame of the archiver interface: opening and closing handles, the version, the
// state and mode queries, cancel and the function list. A handle is the address of its
// record (api/handle.h); a null handle answers the export's failure value instead of
// crashing.
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "api/handle.h"
#include "api/kestrel.h"
#include "api/open_and_stamps.h"
#include "config/settings.h"
#include "platform/charset.h"
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
    FtpSession *session = handle_session(archive);
    return session && session->failure.kind == FAILURE_TLS ? session->failure.text : "";
}

// The public categories are the failure kinds themselves, plus one for a wrong argument.
static_assert(KESTREL_FAILURE_NAME == FAILURE_NAME && KESTREL_FAILURE_REFUSED == FAILURE_REFUSED &&
                  KESTREL_FAILURE_UNREACHABLE == FAILURE_UNREACHABLE &&
                  KESTREL_FAILURE_TIME_LIMIT == FAILURE_TIME_LIMIT &&
                  KESTREL_FAILURE_CANCELLED == FAILURE_CANCELLED && KESTREL_FAILURE_TLS == FAILURE_TLS &&
                  KESTREL_FAILURE_LOGIN == FAILURE_LOGIN && KESTREL_FAILURE_SERVER == FAILURE_SERVER &&
                  KESTREL_FAILURE_LOCAL_FILE == FAILURE_LOCAL_FILE &&
                  KESTREL_FAILURE_PROTOCOL == FAILURE_PROTOCOL && KESTREL_FAILURE_USAGE > FAILURE_PROTOCOL,
              "the public failure categories are the failure kinds");

// The session calls the caller's progress callback through its own type: the same one.
static_assert(std::is_same<SessionCallback, KESTREL_MESSAGE_CALLBACK>::value,
              "the session's callback type is the public one");

// Why the calling thread's last KestrelOpenArchive gave no handle: there is no handle to
// keep it on, and another thread's open must not overwrite it.
static thread_local Failure t_open_failure;

// The words a report or a caller reads before the failure's own text; none where the
// text says it already (a reply line, the TLS reasons).
static const char *failure_label(int kind)
{
    switch (kind) {
    case FAILURE_NAME: return "name not found";
    case FAILURE_REFUSED: return "connection refused";
    case FAILURE_UNREACHABLE: return "no connection";
    case FAILURE_TIME_LIMIT: return "time limit";
    case FAILURE_CANCELLED: return "cancelled";
    case FAILURE_LOGIN: return "login refused";
    case FAILURE_LOCAL_FILE: return "local file";
    case FAILURE_PROTOCOL: return "protocol";
    default: return "";
    }
}

static int same_words(const char *a, const char *b)
{
    for (; *a && *b; a++, b++)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b))
            return 0;
    return *a == *b;
}

static int failure_report(const Failure *failure, char *text, int size)
{
    if (text && size > 0) {
        const char *label = failure_label(failure->kind);
        if (label[0] == '\0')
            text_format(text, (size_t)size, "%s", failure->text);
        // The system's "Connection refused" says no more than the label.
        else if (failure->text[0] == '\0' || same_words(label, failure->text))
            text_format(text, (size_t)size, "%s", label);
        else
            text_format(text, (size_t)size, "%s: %s", label, failure->text);
    }
    return failure->kind;
}

extern "C" int KESTREL_API KestrelGetErrorEx(HARC archive, char *text, int size)
{
    FtpSession *session = handle_session(archive);
    return failure_report(session ? &session->failure : &t_open_failure, text, size);
}

HARC frame_new_handle(void)
{
    return (HARC)handle_create();
}

extern "C" HARC KESTREL_API KestrelNewArchiveEx(void)
{
    return frame_new_handle();
}

static int usage_failure(FtpSession *session, const char *format, const char *value)
{
    failure_set(&session->failure, KESTREL_FAILURE_USAGE, format, value);
    return -1;
}

int frame_open_handle(HARC handle, const char *url, uint32_t mode)
{
    FtpSession *session = handle_session(handle);
    if (!session)
        return -1;
    failure_clear(&session->failure);
    HandleOptions *options = &handle_of(handle)->options;
    if (options->open_tried)
        return usage_failure(session, "%s", "the handle was opened before");
    options->open_tried = 1;
    if (!url)
        return usage_failure(session, "%s", "no URL");
    if (!(mode & 2))
        settings_load();

    char scheme[URL_TEXT_SIZE], user[URL_TEXT_SIZE], password[URL_TEXT_SIZE];
    char host[URL_TEXT_SIZE], path[URL_TEXT_SIZE];
    int port = 0;
    if (parse_url(url, scheme, user, password, host, &port, path) != 0)
        return usage_failure(session, "%s", "the URL does not parse");
    int tls = frame_tls_mode(scheme);
    if (tls < 0)
        return usage_failure(session, "not an FTP URL: %.100s", scheme);
    if (strcmp(user, "anonymous") == 0 && password[0] == '\0')
        text_copy(password, sizeof password, g_settings.EMailAddress);
    // The configured control port stands for plain FTP's 21 only.
    if (port == 21 && tls == SESSION_TLS_NONE)
        port = g_settings.FtpCtrlPort;
    if (tls != SESSION_TLS_NONE) {
        // The certificate must name the host of the URL, not where a proxy leads.
        int verify = options->tls_verify >= 0 ? options->tls_verify : g_settings.TlsVerify != 0;
        const char *ca_file = options->has_ca_file ? options->ca_file : g_settings.TlsCaFile;
        TlsClientSettings checks = {verify ? 1 : 0, ca_file, host};
        if (session_set_tls(session, tls, &checks) != 0)
            return -1;
    }

    // A negative stored limit means none, like 0.
    int timeout = options->timeout >= 0 ? options->timeout : g_settings.Timeout;
    session_set_timeout(session, timeout > 0 ? timeout : 0);
    session->use_mlsd = options->use_mlsd >= 0 ? options->use_mlsd : g_settings.UseMLSD != 0;
    // A stored name too long for any set converts nothing, as one the system does not know.
    if (session_set_charset(session, options->has_charset ? options->charset : g_settings.ServerCharset) != 0)
        session_set_charset(session, "");
    session_set_proxy(session, (uint32_t)g_settings.ProxyType, g_settings.ProxyHost,
                      (uint32_t)g_settings.ProxyPort);
    if (session_connect(session, host, port, user, password) != 0)
        return -1;
    // An out-of-range stored mode leaves the session's automatic choice in force.
    session_set_data_mode(session, options->data_mode >= 0 ? options->data_mode : g_settings.PassiveMode);
    if (session_open_dir(session, path) != 0)
        return -1;
    session_set_resume_mode(session, g_settings.ResumeGetMode);
    return 0;
}

extern "C" int KESTREL_API KestrelOpenArchiveEx(HARC archive, const char *url, uint32_t mode)
{
    return frame_open_handle(archive, url, mode) == 0 ? 1 : 0;
}

// A whole decimal number from 0 up, or -1.
static int option_number(const char *value)
{
    if (!value || *value < '0' || *value > '9')
        return -1;
    char *end = nullptr;
    long number = strtol(value, &end, 10);
    return *end == '\0' && number <= INT32_MAX ? (int)number : -1;
}

extern "C" int KESTREL_API KestrelSetOptionEx(HARC archive, const char *name, const char *value)
{
    FtpSession *session = handle_session(archive);
    if (!session)
        return 0;
    failure_clear(&session->failure);
    HandleOptions *options = &handle_of(archive)->options;
    if (!name || !value) {
        usage_failure(session, "%s", "an option needs a name and a value");
        return 0;
    }
    if (same_words(name, "Timeout")) {
        int seconds = option_number(value);
        if (seconds < 0)
            return usage_failure(session, "Timeout is a number of seconds, not %.60s", value), 0;
        options->timeout = seconds;
        // Set at once too: an open handle's next wait keeps to it.
        session_set_timeout(session, seconds);
        return 1;
    }
    if (same_words(name, "PassiveMode")) {
        static const char *const modes[] = {"active", "passive", "auto"};
        int mode = option_number(value);
        for (int i = 0; i < 3; i++)
            if (same_words(value, modes[i]))
                mode = i;
        if (mode < DATA_MODE_ACTIVE || mode > DATA_MODE_AUTO)
            return usage_failure(session, "PassiveMode is active, passive or auto, not %.60s", value), 0;
        options->data_mode = mode;
        session_set_data_mode(session, mode);
        return 1;
    }
    if (same_words(name, "AskSize")) {
        int on = option_number(value);
        if (on != 0 && on != 1)
            return usage_failure(session, "AskSize is 0 or 1, not %.60s", value), 0;
        session->ask_size = on;
        return 1;
    }
    if (same_words(name, "UseMLSD")) {
        int on = option_number(value);
        if (on != 0 && on != 1)
            return usage_failure(session, "UseMLSD is 0 or 1, not %.60s", value), 0;
        options->use_mlsd = on;
        session->use_mlsd = on;
        return 1;
    }
    if (same_words(name, "ServerCharset")) {
        // The set is settled at the login.
        if (options->open_tried)
            return usage_failure(session, "%s", "ServerCharset is set before the open"), 0;
        char probe[8];
        if (value[0] != '\0' && platform_charset_convert(value, "", "a", probe, sizeof probe, nullptr) != 0)
            return usage_failure(session, "no character set named %.60s", value), 0;
        if (text_copy(options->charset, sizeof options->charset, value) != 0)
            return usage_failure(session, "no character set named %.60s", value), 0;
        options->has_charset = 1;
        return 1;
    }
    int verify = same_words(name, "TlsVerify");
    if (verify || same_words(name, "TlsCaFile")) {
        // The connections' trust is fixed when the open starts.
        if (options->open_tried)
            return usage_failure(session, "%.60s is set before the open", name), 0;
        if (verify) {
            int on = option_number(value);
            if (on != 0 && on != 1)
                return usage_failure(session, "TlsVerify is 0 or 1, not %.60s", value), 0;
            options->tls_verify = on;
            return 1;
        }
        if (text_copy(options->ca_file, sizeof options->ca_file, value) != 0)
            return usage_failure(session, "%s", "the TlsCaFile name is too long"), 0;
        options->has_ca_file = 1;
        return 1;
    }
    return usage_failure(session, "no option named %.60s", name), 0;
}

extern "C" HARC KESTREL_API KestrelOpenArchive(KESTREL_WINDOW window, const char *url, uint32_t mode)
{
    (void)window;
    failure_clear(&t_open_failure);
    if (!url) {
        failure_set(&t_open_failure, KESTREL_FAILURE_USAGE, "no URL");
        return nullptr;
    }
    HARC handle = frame_new_handle();
    if (!handle) {
        failure_set(&t_open_failure, FAILURE_LOCAL_FILE, "out of memory");
        return nullptr;
    }
    if (frame_open_handle(handle, url, mode) != 0) {
        t_open_failure = handle_session(handle)->failure;
        KestrelCloseArchive(handle);
        handle = nullptr;
    }
    return handle;
}

extern "C" int KESTREL_API KestrelCloseArchive(HARC archive)
{
    handle_destroy(handle_of(archive));
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
    return session_set_data_mode(handle_session(archive), mode);
}

extern "C" int KESTREL_API KestrelSetCallbackMsgFunc(HARC archive, KESTREL_MESSAGE_CALLBACK callback,
                                                   intptr_t user)
{
    FtpSession *session = handle_session(archive);
    return session && session_set_callback(session, callback, user) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelCancel(HARC archive, int ignored)
{
    (void)ignored;
    FtpSession *session = handle_session(archive);
    return session && session_cancel(session) == 0 ? 1 : 0;
}

extern "C" int KESTREL_API KestrelQueryFunctionList(int function)
{
    // Only the archiver interface's own numbers: the exports added after its set (the
    // 64-bit queries, the failure and handle calls) have no number and are found by name.
    static const int supported[] = {0,  1,  8,  16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 40, 41,
                                    42, 45, 46, 47, 57, 58, 61, 62, 63, 64, 65, 66, 67, 68, 69};
    for (int number : supported)
        if (number == function)
            return 1;
    return 0;
}
