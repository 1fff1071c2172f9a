// One open FTP server: the control connection, the data connection of the transfer or
// listing under way, the login, the modes, the current directory and the caller's
// progress callback. The exported handle (api/handle.h) owns one. Operations
// answer 0 (or a count) or -1 and never show a message. The exports check the caller's
// handle before they pass its session on; the commands, replies, transfers and settings
// calls assert that they were given one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/charset.h"
#include "transport/stream.h"
#include "util/failure.h"

enum {
    SESSION_HOST_SIZE = 1024,
    SESSION_USER_SIZE = 256,
    SESSION_DIR_SIZE = 1024,
    SESSION_SYSTEM_SIZE = 100,
    SESSION_TYPE_SIZE = 12,
    SESSION_REPLY_LIMIT = 1000,   // reply buffers hold this plus the terminator
    // A reply longer than either fails its operation and ends the control connection.
    SESSION_REPLY_MAX_LINES = 1000,
    SESSION_REPLY_MAX_BYTES = 64 * 1024,
    // Preliminary (1xx) replies skipped before a final one; a longer run fails.
    SESSION_PRELIMINARY_LIMIT = 20,
};

// What the server's FEAT reply (RFC 2389) offered, learnt once after the login.
enum {
    SESSION_FEATURE_MLST = 1,
    SESSION_FEATURE_UTF8 = 2,
    SESSION_FEATURE_SIZE = 4,
    SESSION_FEATURE_MDTM = 8,
    SESSION_FEATURE_REST_STREAM = 16,
};

struct FtpSession;
// Sees every line of every reply while it is installed (the reply reader keeps only the
// last line): FEAT's features are the lines between its first and its last.
typedef void (*SessionLineSink)(FtpSession *session, const char *line);

// The caller's progress callback, called as the library's callers declare it (stdcall on
// 32-bit Windows); the exports check that it is their public type.
#ifdef _WIN32
#define SESSION_CALLBACK_CALL __stdcall
#else
#define SESSION_CALLBACK_CALL
#endif
typedef int(SESSION_CALLBACK_CALL *SessionCallback)(const char *message, intptr_t user);

enum { DATA_MODE_ACTIVE = 0, DATA_MODE_PASSIVE = 1, DATA_MODE_AUTO = 2 };
// ftpes:// asks for TLS with AUTH TLS after the greeting, ftps:// starts it at the connect.
enum { SESSION_TLS_NONE = 0, SESSION_TLS_EXPLICIT = 1, SESSION_TLS_IMPLICIT = 2 };

struct FtpSession {
    SocketStream *control;
    SocketStream *data;
    // Before the login: every address of the server's name (or the proxy's), tried in
    // turn. After it: the two ends of the control connection.
    NetAddress server_addresses[NET_MAX_ADDRESSES];
    int32_t server_address_count;
    NetAddress server_address;
    NetAddress local_address;
    uint32_t server_port;
    uint32_t local_port;
    // The address the last PORT or EPRT announced.
    NetAddress port_address;
    int32_t passive_port;
    uint32_t port_listen_port;
    char host[SESSION_HOST_SIZE];
    char user[SESSION_USER_SIZE];
    char password[SESSION_USER_SIZE];
    uint32_t data_mode;
    char proxy_host[SESSION_HOST_SIZE];
    uint32_t proxy_type;
    uint32_t proxy_port;
    char current_dir[SESSION_DIR_SIZE];
    char transfer_type[SESSION_TYPE_SIZE];
    // transfer_type is what the server last took with a 200. With keep_type set (a run of
    // many files), a transfer of that type sends no TYPE again.
    int32_t type_confirmed;
    int32_t keep_type;
    int32_t uploading;
    char system_type[SESSION_SYSTEM_SIZE];
    SessionCallback callback;
    intptr_t callback_user;
    // Transfer counters are 64-bit so that files of 2 GiB and more move correctly.
    int64_t transferred;
    int64_t last_progress_time;
    int64_t transfer_total;
    int64_t local_size;
    int32_t use_index_file;
    int64_t resume_offset;
    int32_t resume_mode;
    // A download's size as its 150 reply announced it ("(N bytes)"), -1 when none was, and
    // whether its data connection reached its end: a complete binary download of another
    // size is no success.
    int64_t announced_bytes;
    int32_t data_ended;
    int32_t data_unclean;  // ...without TLS's closing alert
    // Where the progress total comes from when the 150 names no size: the size the listing
    // showed for the file (-1: none; the caller sets it for the next download), else SIZE,
    // asked before the download when ask_size is set (someone watches a meter).
    int64_t listed_size;
    int32_t ask_size;
    char reply[SESSION_REPLY_LIMIT + 1];  // last line of the last reply
    // The cancel flag and time limit of every stream of this session. It lives as long as
    // the record, so a cancel from another thread only ever touches this.
    StreamLimits limits;
    // TLS: how the control connection is protected (every data connection then is too),
    // and the certificate settings and trust store all its connections are made with.
    int32_t tls_mode;
    TlsClient *tls_client;
    // Why the last operation failed: its streams note what they saw (limits.failure points
    // here), the commands note a refusal with the server's reply line; the first reason
    // noted stays until the next operation clears it.
    Failure failure;
    // The server's features (SESSION_FEATURE_ bits) and whether FEAT was answered at all;
    // a server that refuses FEAT offers nothing, and every step then runs as before it.
    uint32_t features;
    int32_t features_known;
    SessionLineSink line_sink;
    // Listings through MLSD where the server offers MLST (the caller may say no), until the
    // server refuses it as a command it does not know.
    int32_t use_mlsd;
    int32_t mlsd_refused;
    // Names cross between the server's character set and the caller's: the setting ("",
    // automatic: UTF-8 when FEAT announces it, else the caller's own), the set the login
    // settled on ("" the caller's own), and whether the two differ.
    char charset_setting[CHARSET_NAME_SIZE];
    char server_charset[CHARSET_NAME_SIZE];
    int32_t convert_names;
    // Where a name that the caller's set cannot show finds the server's own bytes: the
    // handle's current listing (null: none); gives the server's name or null.
    const char *(*server_name_of)(const void *context, const char *shown);
    const void *server_name_context;
};

// Record and replies.
FtpSession *session_create(void);
int session_destroy(FtpSession *session);
// Sends one command line. A formatted line that would not fit, or that carries a CR or
// LF before its own line end, is not sent (-1): a name must never smuggle in a command.
int session_send(FtpSession *session, const char *format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
// Sends one command and reads its reply: the reply code, or 0 when nothing was sent (a
// refused line as above, no connection, a failed send) or no reply came. Nothing is
// awaited for a command that did not go out.
int session_command(FtpSession *session, const char *format, ...)
    __attribute__((format(gnu_printf, 2, 3)));
// Reads one reply, multi-line replies by the end rule of RFC 959 section 4.2: the code of
// its last line (the code of its last line read when the connection fails in the middle),
// or 0 when none came (noted as the failure when nothing else was). The last line, CR LF
// included, stays in session->reply. The time limit bounds the whole reply; one longer
// than SESSION_REPLY_MAX_LINES or _BYTES, or not ended in time, answers 0 and closes the
// control connection.
int session_reply(FtpSession *session);
// Reads replies until one is not preliminary (1xx), at most SESSION_PRELIMINARY_LIMIT of
// them, all within one time limit: the final reply's code, or 0 as session_reply (a run
// of preliminary replies that does not end also closes the control connection).
// session_command reads its reply so.
int session_final_reply(FtpSession *session);
// The one call another thread may make while the session is busy: sets the session's
// cancel flag and wakes the wait under way (every wait also looks at the flag at least
// once a second); it reads no stream, so it is safe while the busy thread opens or closes
// them. Every later wait fails too.
int session_cancel(FtpSession *session);
// Notes the last reply line as why the operation fails (FAILURE_LOGIN or FAILURE_SERVER);
// nothing when no reply came (the reader noted that). Always -1.
int session_refused(FtpSession *session, int kind);
// How long any wait (connect, reply, data, accept) may go without progress; 0: no limit.
int session_set_timeout(FtpSession *session, int seconds);
int session_set_callback(FtpSession *session, SessionCallback callback, intptr_t user);
void session_notify(FtpSession *session, const char *text);
// Test seam: while a trace function is installed, it sees every command line sent ('>'),
// every reply line read ('<') and every data connection made ('='), for any session.
typedef void (*SessionTrace)(const FtpSession *session, char direction, const char *text);
void session_set_trace(SessionTrace trace);
void session_trace(const FtpSession *session, char direction, const char *text);

// Login and settings of a session.
int session_set_proxy(FtpSession *session, uint32_t type, const char *proxy_host, uint32_t proxy_port);
int session_connect(FtpSession *session, const char *host, int port, const char *user,
                    const char *password);
int session_login(FtpSession *session);
// Asks for TLS on every connection of the session (before session_connect): 0, or -1 with
// `failure` saying why (TLS cannot start here, an unreadable CA file).
int session_set_tls(FtpSession *session, int mode, const TlsClientSettings *settings);
int session_set_data_mode(FtpSession *session, int mode);
int session_set_type(FtpSession *session, const char *type);
int session_change_dir(FtpSession *session, const char *directory);
// The folder of an open's URL: CWD of the path as it is, and when an absolute path is
// refused (5xx), CWD of it relative to the login folder (without its leading slashes;
// none at all for "/"). 0, or -1 with the first refusal noted as why.
int session_open_dir(FtpSession *session, const char *path);
int session_set_resume_mode(FtpSession *session, int mode);

// The server's character set: "" (automatic) or a name the system knows, such as
// "Shift_JIS"; it takes effect at the login. -1 for a name too long to be one.
int session_set_charset(FtpSession *session, const char *setting);
// A name the server sent, in the caller's set, into out: 0, or -1 when it does not fit;
// *lossy (may be null) is set when a character could not be shown and became '?'.
int session_name_from_server(const FtpSession *session, const char *name, char *out, size_t size, int *lossy);

// Data connections: passive (PASV: we connect), active (PORT: the server connects to us
// on port 12321 at the control connection's local address) and automatic (passive until
// the server refuses PASV with a 5xx reply, then active for the rest of the session). On
// an IPv6 control connection EPSV and EPRT (RFC 2428) take the places of PASV and PORT.
enum { SESSION_ACTIVE_PORT = 12321 };
// Prepares the data connection before a transfer or listing command: 0 with `data` set
// (passive: connected; active: listening and announced), or -1 with `data` null.
int session_open_data(FtpSession *session);
// Called after the transfer or listing command. Active mode waits, cancellably, until the
// server connects or answers first; an answer first leaves the connection to be accepted
// when the data is first read or sent (a refusal then never waits for it). -1 only when
// cancelled or the accept failed; passive mode returns 0 at once.
int session_accept_data(FtpSession *session);
int session_close_data(FtpSession *session);

// Transfers. Sizes, offsets and counts are 64-bit, so files of 2 GiB and more move and
// resume correctly. The block level: open, then read (download) or write (upload) until
// done, then close, which reads the final reply and clears the restart offset and size.
// Whole-file transfers move blocks of SESSION_FILE_BLOCK_SIZE between the connection and
// the local file, one file read or write per block.
enum { SESSION_FILE_BLOCK_SIZE = 1 << 20, SESSION_PATH_SIZE = 1000 };
// The offset of the next transfer (REST); -1 for a negative offset, which is not stored.
int session_set_resume_offset(FtpSession *session, int64_t offset);
// Mode text: 'w' uploads (STOR), else downloads (RETR); 'b' is image type, else ASCII.
int session_open_transfer(FtpSession *session, const char *remote_name, const char *mode);
int session_read_data(FtpSession *session, void *buffer, int size);
// Small writes gather in the data connection's send buffer, so a send that fails may be
// reported by a later write or by session_close_transfer.
int session_write_data(FtpSession *session, const void *bytes, int length);
// Sends what an upload's writes left buffered, then closes the data connection and reads
// the final reply. 0, or -1 when there was a data connection and the buffered bytes could
// not be sent or the final reply is neither 226 nor 250.
int session_close_transfer(FtpSession *session);
// Whole files. A download that ends early, cannot write its local file, or whose final
// reply is not a success answers -1 and keeps the partial local file (a later download
// with resume on continues it). An upload opens its local file before it sends STOR.
int session_get_file(FtpSession *session, const char *remote_name, const char *local_name, const char *mode);
int session_put_file(FtpSession *session, const char *remote_name, const char *local_name, const char *mode);

// Remote file commands on the control connection: 0 on the one accepted reply, else -1.
int session_make_dir(FtpSession *session, const char *name);    // MKD, 257
int session_remove_dir(FtpSession *session, const char *name);  // RMD, 250
int session_rename(FtpSession *session, const char *old_name, const char *new_name);  // RNFR 350, RNTO 250
int session_delete(FtpSession *session, const char *name);      // DELE, 250
