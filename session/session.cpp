#include "session/session.h"

#include <atomic>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/text.h"

enum { COMMAND_SIZE = 10000 };

static std::atomic<SessionTrace> trace_hook{nullptr};

void session_set_trace(SessionTrace trace)
{
    trace_hook.store(trace);
}

void session_trace(const FtpSession *session, char direction, const char *text)
{
    SessionTrace trace = trace_hook.load();
    if (trace)
        trace(session, direction, text);
}

FtpSession *session_create(void)
{
    FtpSession *session = (FtpSession *)calloc(1, sizeof(FtpSession));
    if (!session)
        return nullptr;
    session->use_index_file = 1;
    session->data_mode = DATA_MODE_AUTO;
    session->announced_bytes = -1;
    stream_limits_init(&session->limits);
    session->limits.failure = &session->failure;
    text_copy(session->transfer_type, sizeof session->transfer_type, "I");
    return session;
}

int session_destroy(FtpSession *session)
{
    if (!session)
        return -1;
    session_clear_listing(session);
    if (session->data) {
        stream_close(session->data);
        session->data = nullptr;
    }
    // No QUIT: the server simply sees the control connection close.
    if (session->control) {
        stream_close(session->control);
        session->control = nullptr;
    }
    stream_limits_release(&session->limits);
    tls_client_free(session->tls_client);
    free(session);
    return 0;
}

// Formats one command line into line; 0 when it may go out as it is.
static int format_command(char (&line)[COMMAND_SIZE], const char *format, va_list ap)
{
    int n = vsnprintf(line, sizeof line, format, ap);
    if (n < 0 || n >= (int)sizeof line)
        return -1;
    // Every command ends in CR LF; any other line break would split it into two commands.
    int body = n;
    if (body >= 2 && line[body - 2] == '\r' && line[body - 1] == '\n')
        body -= 2;
    if (memchr(line, '\r', body) || memchr(line, '\n', body))
        return -1;
    return 0;
}

static int send_line(FtpSession *session, const char *line)
{
    session_trace(session, '>', line);
    return stream_send_text(session->control, line);
}

int session_clear_listing(FtpSession *session)
{
    if (!session || !session->entry_arena)
        return 0;
    free(session->entry_arena);
    session->entry_arena = nullptr;
    session->arena_used = 0;
    session->arena_size = 0;
    session->entry_count = 0;
    session->cursor = -1;
    session->cursor_at = 0;
    return 0;
}

int session_send(FtpSession *session, const char *format, ...)
{
    if (!session || !session->control)
        return -1;
    char line[COMMAND_SIZE];
    va_list ap;
    va_start(ap, format);
    int formatted = format_command(line, format, ap);
    va_end(ap);
    if (formatted != 0)
        return -1;
    return send_line(session, line);
}

int session_command(FtpSession *session, int limit, const char *format, ...)
{
    if (!session || !session->control)
        return 0;
    char line[COMMAND_SIZE];
    va_list ap;
    va_start(ap, format);
    int formatted = format_command(line, format, ap);
    va_end(ap);
    // A command that did not go out is never answered: waiting would only stall.
    if (formatted != 0 || send_line(session, line) != 0)
        return 0;
    return session_reply(session, limit);
}

char *session_read_line(FtpSession *session, char *buffer, int limit)
{
    if (!session || !session->control)
        return nullptr;
    return stream_read_line(session->control, buffer, limit);
}

// Reads and drops the rest of a line that was cut short by its length or by a NUL byte:
// its tail must never be taken for the next line of this reply or for the next reply,
// which would answer every later command with the reply to the one before it.
static void skip_rest_of_line(FtpSession *session, const char *line)
{
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        return;
    int byte;
    do
        byte = stream_read_byte(session->control);
    while (byte >= 0 && byte != '\n');
}

// Reads the lines of one reply into buffer; a line continues the reply when its fourth
// character is '-' or, with space_continues, when it begins with a space. The code is
// that of the last line read; 0 when not even one line arrived.
static int read_reply_lines(FtpSession *session, char *buffer, int limit, int space_continues)
{
    int got_line = 0;
    buffer[0] = '\0';
    for (;;) {
        if (!session_read_line(session, buffer, limit))
            break;
        got_line = 1;
        session_trace(session, '<', buffer);
        skip_rest_of_line(session, buffer);
        size_t len = strlen(buffer);
        int more = (len > 3 && buffer[3] == '-') || (space_continues && buffer[0] == ' ');
        if (!more)
            break;
    }
    if (!got_line) {
        failure_note(&session->failure, FAILURE_PROTOCOL, "the server closed the connection");
        return 0;
    }
    int code = text_to_int(buffer);
    // 421: the server is closing the control connection. Some say it and stay (pyftpdlib
    // after a passive listener timed out, keeping the transfer it had queued); a command
    // sent after it would be answered out of step or hand a later transfer the stale
    // transfer's bytes. Nothing more is sent or read on this connection.
    if (code == 421) {
        failure_note(&session->failure, FAILURE_SERVER, "%s", buffer);
        stream_disconnect(session->control);
    }
    return code;
}

int session_read_reply_text(FtpSession *session, char *buffer, int limit)
{
    return read_reply_lines(session, buffer, limit, 0);
}

int session_read_reply(FtpSession *session)
{
    char buffer[SESSION_REPLY_LIMIT + 1];
    return read_reply_lines(session, buffer, SESSION_REPLY_LIMIT, 1);
}

int session_reply(FtpSession *session, int limit)
{
    if (!session)
        return 0;
    session->reply[0] = '\0';
    if (limit == SESSION_CODE_ONLY)
        return read_reply_lines(session, session->reply, SESSION_REPLY_LIMIT, 1);
    assert(limit > 0 && limit <= SESSION_REPLY_LIMIT);
    return read_reply_lines(session, session->reply, limit, 0);
}

int session_cancel(FtpSession *session)
{
    if (!session)
        return -1;
    stream_limits_cancel(&session->limits);
    return 0;
}

int session_refused(FtpSession *session, int kind)
{
    if (session->reply[0] != '\0')
        failure_note(&session->failure, kind, "%s", session->reply);
    return -1;
}

int session_set_timeout(FtpSession *session, int seconds)
{
    if (!session || seconds < 0)
        return -1;
    session->limits.timeout_seconds = seconds;
    return 0;
}

int session_set_callback(FtpSession *session, KESTREL_MESSAGE_CALLBACK callback, intptr_t user)
{
    if (!session)
        return -1;
    session->callback = callback;
    session->callback_user = user;
    return 0;
}

void session_notify(FtpSession *session, const char *text)
{
    if (session && session->callback)
        session->callback(text, session->callback_user);
}
