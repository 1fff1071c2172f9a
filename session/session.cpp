#include "session/session.h"

#include <atomic>
#include <cassert>
#include <cctype>
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
    session->listed_size = -1;
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
    free(session->handle_options);
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

int session_command(FtpSession *session, const char *format, ...)
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
    return session_reply(session);
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

static int starts_with_code(const char *line)
{
    return isdigit((unsigned char)line[0]) && isdigit((unsigned char)line[1]) && isdigit((unsigned char)line[2]);
}

// RFC 959 section 4.2: a first line "ddd-" opens a reply that ends only at a line that
// begins with the same three digits and a blank; the lines between, whatever they look
// like (no code, a blank first, another code), belong to it. Any other first line is the
// whole reply.
int session_reply(FtpSession *session)
{
    assert(session != nullptr);
    char *line = session->reply;
    line[0] = '\0';
    if (!session->control)
        return 0;
    char first[4] = "";
    int lines = 0;
    while (stream_read_line(session->control, line, SESSION_REPLY_LIMIT)) {
        session_trace(session, '<', line);
        skip_rest_of_line(session, line);
        int ended = lines == 0 ? !(starts_with_code(line) && line[3] == '-')
                               : strncmp(line, first, 3) == 0 && line[3] == ' ';
        if (lines++ == 0)
            text_copy_n(first, sizeof first, line, 3);
        if (ended)
            break;
    }
    if (lines == 0) {
        failure_note(&session->failure, FAILURE_PROTOCOL, "the server closed the connection");
        return 0;
    }
    // A connection lost in the middle of a reply ends it: the code is that of the last
    // line read.
    int code = text_to_int(line);
    // 421: the server is closing the control connection. Some say it and stay (pyftpdlib
    // after a passive listener timed out, keeping the transfer it had queued); a command
    // sent after it would be answered out of step or hand a later transfer the stale
    // transfer's bytes. Nothing more is sent or read on this connection.
    if (code == 421) {
        failure_note(&session->failure, FAILURE_SERVER, "%s", line);
        stream_disconnect(session->control);
    }
    return code;
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
