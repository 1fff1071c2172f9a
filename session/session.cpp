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
    session->use_mlsd = 1;
    stream_limits_init(&session->limits);
    session->limits.failure = &session->failure;
    text_copy(session->transfer_type, sizeof session->transfer_type, "I");
    return session;
}

int session_destroy(FtpSession *session)
{
    if (!session)
        return -1;
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

// A command's argument goes out in the server's character set. A name that the caller's
// set could not show (it reached the caller with '?' in its place) goes as the server's
// own bytes, found through the current listing: the caller can only give it as shown.
static int line_to_server(FtpSession *session, char (&line)[COMMAND_SIZE])
{
    if (!session->convert_names)
        return 0;
    char *space = strchr(line, ' ');
    if (!space)
        return 0;
    size_t length = strlen(line);
    size_t end = length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n' ? length - 2 : length;
    size_t start = (size_t)(space + 1 - line);
    if (end <= start)
        return 0;
    char argument[COMMAND_SIZE];
    text_copy_n(argument, sizeof argument, line + start, end - start);
    char converted[COMMAND_SIZE];
    const char *raw = session->server_name_of ? session->server_name_of(session->server_name_context, argument) : nullptr;
    bool ascii = true;
    for (const char *p = argument; *p && ascii; p++)
        ascii = (unsigned char)*p < 0x80;
    if (raw) {
        if (text_copy(converted, sizeof converted, raw) != 0)
            return -1;
    } else if (ascii) {
        return 0;
    } else if (platform_charset_convert("", session->server_charset, argument, converted, sizeof converted,
                                        nullptr) != 0) {
        return -1;
    }
    if (strpbrk(converted, "\r\n"))
        return -1;
    char whole[COMMAND_SIZE];
    line[start] = '\0';
    if (text_format(whole, sizeof whole, "%s%s%s", line, converted, end < length ? "\r\n" : "") != 0)
        return -1;
    text_copy(line, sizeof line, whole);
    return 0;
}

int session_set_charset(FtpSession *session, const char *setting)
{
    if (!session || !setting)
        return -1;
    return text_copy(session->charset_setting, sizeof session->charset_setting, setting);
}

int session_name_from_server(const FtpSession *session, const char *name, char *out, size_t size, int *lossy)
{
    if (lossy)
        *lossy = 0;
    if (!session->convert_names)
        return text_copy(out, size, name);
    return platform_charset_convert(session->server_charset, "", name, out, size, lossy);
}

static int send_line(FtpSession *session, const char *line)
{
    session_trace(session, '>', line);
    return stream_send_text(session->control, line);
}

int session_send(FtpSession *session, const char *format, ...)
{
    assert(session != nullptr && format != nullptr);
    if (!session->control)
        return -1;
    char line[COMMAND_SIZE];
    va_list ap;
    va_start(ap, format);
    int formatted = format_command(line, format, ap);
    va_end(ap);
    if (formatted != 0 || line_to_server(session, line) != 0)
        return -1;
    return send_line(session, line);
}

int session_command(FtpSession *session, const char *format, ...)
{
    assert(session != nullptr && format != nullptr);
    if (!session->control)
        return 0;
    char line[COMMAND_SIZE];
    va_list ap;
    va_start(ap, format);
    int formatted = format_command(line, format, ap);
    va_end(ap);
    // A command that did not go out is never answered: waiting would only stall.
    if (formatted != 0 || line_to_server(session, line) != 0 || send_line(session, line) != 0)
        return 0;
    return session_final_reply(session);
}

// Reads and drops the rest of a line that was cut short by its length or by a NUL byte:
// its tail must never be taken for the next line of this reply or for the next reply,
// which would answer every later command with the reply to the one before it. Gives the
// bytes it dropped; it stops once `room` of them went (a line that never ends).
static size_t skip_rest_of_line(FtpSession *session, const char *line, size_t room)
{
    size_t length = strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        return 0;
    size_t skipped = 0;
    int byte;
    do
        byte = stream_read_byte(session->control);
    while (byte >= 0 && byte != '\n' && ++skipped < room);
    return skipped;
}

static int starts_with_code(const char *line)
{
    return isdigit((unsigned char)line[0]) && isdigit((unsigned char)line[1]) && isdigit((unsigned char)line[2]);
}

// Ends the control connection in the middle of a reply that cannot be read to its end:
// whatever follows could only be taken for the answer to a later command.
static int abandon_reply(FtpSession *session, int kind, const char *why)
{
    failure_note(&session->failure, kind, "%s", why);
    if (kind == FAILURE_TIME_LIMIT)
        session->limits.timed_out = 1;
    stream_disconnect(session->control);
    session->reply[0] = '\0';
    return 0;
}

// Whether the reply that began at `started` has taken longer than the time limit. Lines
// that keep coming never wait, so the waits alone would never notice.
static bool reply_out_of_time(const FtpSession *session, uint32_t started)
{
    int32_t seconds = session->limits.timeout_seconds;
    if (seconds <= 0)
        return false;
    uint32_t limit = (uint32_t)(seconds < 2000000 ? seconds : 2000000) * 1000u;
    return net_clock_ms() - started >= limit;
}

// Measures every wait from the start of the reply under way (and of the replies that
// precede a final one) instead of from the wait's own start. True when this call set it,
// so that the same caller clears it.
static bool begin_reply_span(FtpSession *session)
{
    if (session->limits.span_on)
        return false;
    session->limits.span_started = net_clock_ms();
    session->limits.span_on = 1;
    return true;
}

// RFC 959 section 4.2: a first line "ddd-" opens a reply that ends only at a line that
// begins with the same three digits and a blank; the lines between, whatever they look
// like (no code, a blank first, another code), belong to it. Any other first line is the
// whole reply. The time limit bounds the whole reply, and so does a size cap: a server
// that never ends its reply cannot keep the client reading.
int session_reply(FtpSession *session)
{
    assert(session != nullptr);
    char *line = session->reply;
    line[0] = '\0';
    if (!session->control)
        return 0;
    bool own_span = begin_reply_span(session);
    uint32_t started = session->limits.span_started;
    char first[4] = "";
    int lines = 0;
    size_t bytes = 0;
    int over = 0;
    bool ended = false;
    while (stream_read_line(session->control, line, SESSION_REPLY_LIMIT)) {
        session_trace(session, '<', line);
        if (session->line_sink)
            session->line_sink(session, line);
        bytes += strlen(line);
        if (bytes < SESSION_REPLY_MAX_BYTES)
            bytes += skip_rest_of_line(session, line, SESSION_REPLY_MAX_BYTES - bytes);
        ended = lines == 0 ? !(starts_with_code(line) && line[3] == '-')
                           : strncmp(line, first, 3) == 0 && line[3] == ' ';
        if (lines++ == 0)
            text_copy_n(first, sizeof first, line, 3);
        if (ended)
            break;
        if (lines >= SESSION_REPLY_MAX_LINES || bytes >= SESSION_REPLY_MAX_BYTES) {
            over = FAILURE_PROTOCOL;
            break;
        }
        if (reply_out_of_time(session, started)) {
            over = FAILURE_TIME_LIMIT;
            break;
        }
    }
    if (own_span)
        session->limits.span_on = 0;
    // A reply whose time ran out in a wait is no answer either (the wait noted why).
    if (lines > 0 && !ended && session->limits.timed_out)
        over = FAILURE_TIME_LIMIT;
    if (over == FAILURE_PROTOCOL)
        return abandon_reply(session, over, "the reply went on beyond 1000 lines or 64 KiB");
    if (over == FAILURE_TIME_LIMIT)
        return abandon_reply(session, over, "the reply did not end within the time limit");
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

int session_final_reply(FtpSession *session)
{
    assert(session != nullptr);
    bool own_span = begin_reply_span(session);
    int code = 0;
    for (int preliminary = 0;; preliminary++) {
        code = session_reply(session);
        if (code < 100 || code > 199)
            break;
        if (preliminary + 1 >= SESSION_PRELIMINARY_LIMIT) {
            code = abandon_reply(session, FAILURE_PROTOCOL, "no final reply after a run of preliminary ones");
            break;
        }
    }
    if (own_span)
        session->limits.span_on = 0;
    return code;
}

int session_cancel(FtpSession *session)
{
    assert(session != nullptr);
    stream_limits_cancel(&session->limits);
    return 0;
}

int session_refused(FtpSession *session, int kind)
{
    assert(session != nullptr);
    if (session->reply[0] != '\0')
        failure_note(&session->failure, kind, "%s", session->reply);
    return -1;
}

int session_set_timeout(FtpSession *session, int seconds)
{
    assert(session != nullptr);
    if (seconds < 0)
        return -1;
    session->limits.timeout_seconds = seconds;
    return 0;
}

int session_set_callback(FtpSession *session, SessionCallback callback, intptr_t user)
{
    assert(session != nullptr);
    session->callback = callback;
    session->callback_user = user;
    return 0;
}

void session_notify(FtpSession *session, const char *text)
{
    assert(session != nullptr && text != nullptr);
    if (session->callback)
        session->callback(text, session->callback_user);
}
