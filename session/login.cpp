#include <cassert>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "session/session.h"
#include "util/text.h"

// Sent when a caller gives no password at all; opening a handle always passes one.
static const char DEFAULT_PASSWORD[] = "kes15";

enum { PROXY_NONE = 0, PROXY_USER_AT_HOST = 1, PROXY_OPEN = 2, PROXY_OPEN_LOWER = 3 };

int session_set_proxy(FtpSession *session, uint32_t type, const char *proxy_host, uint32_t proxy_port)
{
    if (!session)
        return -1;
    session->proxy_type = type;
    session->proxy_port = proxy_port;
    // A cut proxy name would name another machine: keep none, so the connect fails.
    if (text_copy(session->proxy_host, sizeof session->proxy_host, proxy_host ? proxy_host : "") != 0) {
        session->proxy_host[0] = '\0';
        return -1;
    }
    return 0;
}

int session_connect(FtpSession *session, const char *host, int port, const char *user,
                    const char *password)
{
    if (!session || !host)
        return -1;
    if (!user)
        user = "anonymous";
    if (!password)
        password = DEFAULT_PASSWORD;
    // Refuse what the fields cannot hold before anything is resolved or sent.
    if (strlen(host) >= sizeof session->host || strlen(user) >= sizeof session->user ||
        strlen(password) >= sizeof session->password)
        return -1;

    const char *target = session->proxy_type != PROXY_NONE ? session->proxy_host : host;
    int count = resolve_host(target, session->server_addresses, NET_MAX_ADDRESSES);
    if (count < 1) {
        session->server_address_count = 0;
        failure_note(&session->failure, FAILURE_NAME, "no address for %s", target);
        return -1;
    }
    session->server_address_count = count;
    session->server_port = session->proxy_type != PROXY_NONE ? session->proxy_port : (uint32_t)port;
    text_copy(session->host, sizeof session->host, host);
    text_copy(session->user, sizeof session->user, user);
    text_copy(session->password, sizeof session->password, password);
    return session_login(session);
}

// Copies the first word after the first blank of a 215 reply into system_type.
static void record_system_type(FtpSession *session, const char *line)
{
    const char *space = strchr(line, ' ');
    if (!space)
        return;
    const char *word = space + 1;
    size_t len = 0;
    while (word[len] != '\0' && !isspace((unsigned char)word[len]) && len < sizeof session->system_type - 1)
        len++;
    text_copy_n(session->system_type, sizeof session->system_type, word, len);
}

// One line of the FEAT reply: a feature is a line that begins with a blank, its name the
// first word (RFC 2389 section 3.2); the lines with the code carry none.
static void note_feature(FtpSession *session, const char *line)
{
    static const struct {
        const char *name;
        uint32_t bit;
    } known[] = {
        {"MLST", SESSION_FEATURE_MLST},
        {"UTF8", SESSION_FEATURE_UTF8},
        {"SIZE", SESSION_FEATURE_SIZE},
        {"MDTM", SESSION_FEATURE_MDTM},
        {"REST", SESSION_FEATURE_REST_STREAM},
    };
    if (line[0] != ' ')
        return;
    const char *word = line;
    while (*word == ' ')
        word++;
    size_t length = 0;
    while (word[length] != '\0' && !isspace((unsigned char)word[length]))
        length++;
    for (const auto &feature : known) {
        if (length != strlen(feature.name) || strncasecmp(word, feature.name, length) != 0)
            continue;
        // REST counts only in its stream form; "REST" alone promises nothing more.
        if (feature.bit == SESSION_FEATURE_REST_STREAM && strncasecmp(word + length, " STREAM", 7) != 0)
            return;
        session->features |= feature.bit;
        return;
    }
}

// FEAT once per login. Only a 211 counts: lines of any other reply that happen to begin
// with a blank are no features.
static void learn_features(FtpSession *session)
{
    session->features = 0;
    session->line_sink = note_feature;
    int reply = session_command(session, "FEAT\r\n");
    session->line_sink = nullptr;
    session->features_known = reply == 211;
    if (reply != 211)
        session->features = 0;
}

// The server's character set for this login. RFC 2640: a server that announces UTF8 may
// wait to be told before it sends UTF-8 names; a refusal of OPTS changes nothing, the
// names are UTF-8 all the same. A set the system does not know converts nothing.
static void settle_charset(FtpSession *session)
{
    const char *setting = session->charset_setting;
    bool utf8 = setting[0] == '\0' ? (session->features & SESSION_FEATURE_UTF8) != 0
                                   : platform_charset_same(setting, "UTF-8") != 0;
    if (utf8 && (session->features & SESSION_FEATURE_UTF8))
        session_command(session, "OPTS UTF8 ON\r\n");
    text_copy(session->server_charset, sizeof session->server_charset, setting[0] ? setting : utf8 ? "UTF-8" : "");
    char probe[8];
    session->convert_names = session->server_charset[0] != '\0' && !platform_charset_same(session->server_charset, "") &&
                             platform_charset_convert(session->server_charset, "", "a", probe, sizeof probe, nullptr) == 0;
}

int session_set_tls(FtpSession *session, int mode, const TlsClientSettings *settings)
{
    if (!session || !settings || mode < SESSION_TLS_NONE || mode > SESSION_TLS_IMPLICIT)
        return -1;
    tls_client_free(session->tls_client);
    session->tls_client = nullptr;
    session->tls_mode = mode;
    if (mode == SESSION_TLS_NONE)
        return 0;
    char reason[TLS_REASON_SIZE];
    session->tls_client = tls_client_create(settings, reason);
    if (!session->tls_client) {
        failure_set(&session->failure, FAILURE_TLS, "TLS: %s", reason);
        return -1;
    }
    return 0;
}

// The handshake on the control connection, right after the connect (ftps://) or after
// the server granted AUTH TLS (ftpes://).
static int protect_control(FtpSession *session)
{
    // Whatever came in clear behind the 234 would be read after the handshake as if it
    // had come protected: an attacker's way to answer USER and PASS. Nothing may be there.
    SocketStream *control = session->control;
    if (control->ring_count > 0 || control->ahead_count > 0) {
        failure_set(&session->failure, FAILURE_TLS, "TLS: the server sent more in clear after AUTH TLS");
        return -1;
    }
    if (stream_start_tls(session->control, session->tls_client, nullptr) != 0) {
        // No memory, or a host whose name check could not be set up: never unchecked.
        failure_set(&session->failure, FAILURE_TLS, "TLS: the connection to this host cannot be checked");
        return -1;
    }
    if (stream_tls_handshake(session->control) != 0) {
        const char *reason = stream_tls_reason(session->control);
        failure_set(&session->failure, FAILURE_TLS, "TLS: %s", reason[0] ? reason : "handshake cancelled or timed out");
        return -1;
    }
    return 0;
}

// A command that TLS needs granted: 0, or -1 with the refusal noted (a lost connection
// or a missing reply says nothing about TLS and is noted as nothing).
static int require_reply(FtpSession *session, int wanted, const char *command)
{
    int reply = session_command(session, "%s\r\n", command);
    if (reply == wanted)
        return 0;
    if (reply != 0)
        failure_set(&session->failure, FAILURE_TLS, "TLS: the server refused %s (reply %d)", command, reply);
    return -1;
}

static int login_fail(FtpSession *session)
{
    if (session->control) {
        stream_close(session->control);
        session->control = nullptr;
    }
    return -1;
}

int session_login(FtpSession *session)
{
    if (!session)
        return -1;
    failure_clear(&session->failure);
    session->control = stream_connect_any(session->server_addresses, session->server_address_count,
                                          (int)session->server_port, &session->limits);
    if (!session->control)
        return -1;
    stream_set_nonblocking(session->control);
    session->local_address = stream_local_address(session->control);
    session->local_port = stream_local_port(session->control);
    session->server_address = stream_peer_address(session->control);
    session->server_port = stream_peer_port(session->control);

    // Nothing is read or sent in clear once TLS was asked for: a refusal ends the login.
    if (session->tls_mode == SESSION_TLS_IMPLICIT && protect_control(session) != 0)
        return login_fail(session);
    // A 120 ("ready in a moment") comes before the greeting: it is waited out.
    if (session_final_reply(session) != 220) {
        session_refused(session, FAILURE_SERVER);
        return login_fail(session);
    }
    if (session->tls_mode == SESSION_TLS_EXPLICIT &&
        (require_reply(session, 234, "AUTH TLS") != 0 || protect_control(session) != 0))
        return login_fail(session);

    int reply = session->proxy_type == PROXY_USER_AT_HOST
                    ? session_command(session, "USER %s@%s\r\n", session->user, session->host)
                    : session_command(session, "USER %s\r\n", session->user);
    if (reply == 331) {
        if (session_command(session, "PASS %s\r\n", session->password) != 230) {
            session_refused(session, FAILURE_LOGIN);
            return login_fail(session);
        }
    } else if (reply != 230) {
        // 230 right after USER: the server needs no password, so none is sent.
        session_refused(session, FAILURE_LOGIN);
        return login_fail(session);
    }

    if (session->proxy_type == PROXY_OPEN || session->proxy_type == PROXY_OPEN_LOWER) {
        if (session_command(session,
                            session->proxy_type == PROXY_OPEN ? "OPEN %s\r\n" : "open %s\r\n",
                            session->host) != 220) {
            session_refused(session, FAILURE_LOGIN);
            return login_fail(session);
        }
    }

    // Every data connection is protected too.
    if (session->tls_mode != SESSION_TLS_NONE &&
        (require_reply(session, 200, "PBSZ 0") != 0 || require_reply(session, 200, "PROT P") != 0))
        return login_fail(session);

    if (session_command(session, "SYST\r\n") == 215)
        record_system_type(session, session->reply);
    learn_features(session);
    settle_charset(session);
    session->mlsd_refused = 0;

    session_set_type(session, session->transfer_type);

    // Learn the server's initial directory (an empty directory sends only PWD).
    char directory[SESSION_DIR_SIZE];
    text_copy(directory, sizeof directory, session->current_dir);
    session_change_dir(session, directory);
    return 0;
}

int session_set_data_mode(FtpSession *session, int mode)
{
    if (!session || mode < DATA_MODE_ACTIVE || mode > DATA_MODE_AUTO)
        return -1;
    session->data_mode = (uint32_t)mode;
    return 0;
}

int session_set_type(FtpSession *session, const char *type)
{
    if (!session || !session->control || !type)
        return -1;
    char copy[SESSION_TYPE_SIZE];
    if (text_copy(copy, sizeof copy, type) != 0)
        return -1;
    if (session_command(session, "TYPE %s\r\n", copy) != 200) {
        session->type_confirmed = 0;
        return -1;
    }
    text_copy(session->transfer_type, sizeof session->transfer_type, copy);
    session->type_confirmed = 1;
    return 0;
}

int session_open_dir(FtpSession *session, const char *path)
{
    if (!session || !session->control || !path)
        return -1;
    const char *relative = path;
    while (*relative == '/')
        relative++;
    if (relative == path)
        return session_change_dir(session, path);
    // Servers that do not confine a user to the login folder refuse an absolute path that
    // is meant relative to it (RFC 1738 reads the URL's path so); the relative reading is
    // tried before the open fails. Nothing is tried after a reply that is no refusal.
    int reply = session_command(session, "CWD %s\r\n", path);
    if (reply == 250)
        return session_change_dir(session, "");
    if (reply < 500 || reply > 599) {
        session_refused(session, FAILURE_SERVER);
        return -1;
    }
    char refusal[SESSION_REPLY_LIMIT + 1];
    text_copy(refusal, sizeof refusal, session->reply);
    if (session_change_dir(session, relative) == 0)
        return 0;
    // The absolute reading was the first: its refusal says why the open fails.
    failure_set(&session->failure, FAILURE_SERVER, "%s", refusal);
    return -1;
}

int session_change_dir(FtpSession *session, const char *directory)
{
    if (!session || !session->control || !directory)
        return -1;
    if (directory[0] != '\0') {
        if (session_command(session, "CWD %s\r\n", directory) != 250)
            return session_refused(session, FAILURE_SERVER);
    }
    if (session_command(session, "PWD\r\n") != 257)
        return session_refused(session, FAILURE_SERVER);
    // The path lies between the first and the last quotation mark of the line, verbatim.
    const char *first = strchr(session->reply, '"');
    if (!first)
        return -1;
    const char *last = strrchr(first + 1, '"');
    if (!last)
        return -1;
    char path[SESSION_DIR_SIZE];
    text_copy_n(path, sizeof path, first + 1, (size_t)(last - first - 1));
    if (session_name_from_server(session, path, session->current_dir, sizeof session->current_dir, nullptr) != 0)
        text_copy(session->current_dir, sizeof session->current_dir, path);
    return 0;
}

int session_set_resume_mode(FtpSession *session, int mode)
{
    assert(session != nullptr);
    session->resume_mode = mode;
    session->resume_offset = 0;
    return 0;
}
