// The status window on a Linux terminal: an inline panel of a few lines drawn on
// /dev/tty below the cursor. It shows the latest lines, a progress bar fed by the READ
// and WRITE messages, and a Cancel button that Esc or c presses. Its thread is the only
// one that touches the terminal; status_append changes the record under the lock and
// wakes the thread, so a slow or stopped terminal never holds up the caller. On close the
// panel's lines are cleared, the cursor goes back to where the panel began, and the
// terminal modes are put back exactly as they were. While the panel is up, SIGINT, SIGTERM
// and SIGHUP press Cancel as Esc does; a second one restores the terminal and exits.
#include "status/status.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "platform/tty_posix.h"
#include "status/progress_tty.h"
#include "util/text.h"
#include "util/charset.h"

namespace {

typedef std::chrono::steady_clock Clock;

enum {
    PANEL_MAX_HEIGHT = 7,   // title, four lines of text, progress, button
    PANEL_LINE_SIZE = 512,  // one line of text, cut at a character boundary
    PANEL_FRAME_SIZE = 16384,
    PANEL_MIN_COLS = 20,
    PANEL_POLL_MS = 100,    // how late close can be noticed
    PANEL_FLASH_MS = 300,   // how long a pressed Cancel stays highlighted
    PANEL_START_LIMIT_MS = 3000,
};

struct PanelProgress {
    int active;
    char kind[8];        // "READ" or "WRITE"
    long long done;
    long long total;     // <= 0: not known
    long long start_done;
    Clock::time_point start;
    double rate;         // bytes per second; < 0 until it can be measured
};

}  // namespace

struct StatusWindow {
    std::thread thread;
    TtyTerminal tty;
    int wake[2];
    StatusCancelCallback cancel_callback;
    intptr_t cancel_argument;
    std::atomic<int> closing;

    std::mutex lock;  // guards everything below
    std::condition_variable started_signal;
    int started;      // 0 waiting, 1 drawn, -1 failed
    char lines[PANEL_MAX_HEIGHT][PANEL_LINE_SIZE];  // ring of finished lines
    int line_count;
    int line_next;
    char partial[PANEL_LINE_SIZE];  // the line still being written
    int partial_full;               // the rest of an overlong line is dropped
    char warning[PANEL_LINE_SIZE];
    PanelProgress progress;
    Clock::time_point flash_until;
    int dirty;

    // The thread's own.
    struct termios saved_modes;
    int height;
};

static std::mutex g_panel_lock;
static StatusWindow *g_panel;  // the open panel, for status_show_warning
static int g_panel_busy;       // one panel at a time: two would draw over each other

// --- Text that is safe and fits.

// East Asian wide characters take two cells; enough of the table to keep lines from
// wrapping.
static int cell_width(long code)
{
    if ((code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
        (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
        (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
        (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD))
        return 2;
    return 1;
}

// Appends text to out for display in at most `cells` columns. Control characters (a
// server's text could carry escape sequences) and bytes that are not UTF-8 show as '?'.
// Returns the columns used.
static int put_display(char *out, size_t size, size_t *len, const char *text, int cells)
{
    int used = 0;
    for (const char *p = text; *p && used < cells;) {
        long code;
        int n = charset_utf8_next(p, &code);
        const char *piece = p;
        int width = 1;
        if (code == '\t') {
            piece = " ";
            n = 1;
        } else if (code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0)) {
            piece = "?";
        } else {
            width = cell_width(code);
        }
        int piece_len = piece == p ? n : 1;
        if (used + width > cells || *len + (size_t)piece_len >= size)
            break;
        memcpy(out + *len, piece, (size_t)piece_len);
        *len += (size_t)piece_len;
        used += width;
        p += n;
    }
    out[*len] = '\0';
    return used;
}

static void put_raw(char *out, size_t size, size_t *len, const char *text)
{
    size_t n = strlen(text);
    if (*len + n >= size)
        return;
    memcpy(out + *len, text, n);
    *len += n;
    out[*len] = '\0';
}

// Drops a character that the cut left incomplete at the end of text.
static void trim_incomplete(char *text, size_t len)
{
    size_t start = len;
    while (start > 0 && len - start < 4 && charset_utf8_continues((unsigned char)text[start - 1]))
        start--;
    if (start == 0 || len - start >= 4)
        return;
    int need = charset_utf8_length((unsigned char)text[start - 1]);
    if (need > 1 && (size_t)need > len - start + 1)
        text[start - 1] = '\0';
}

// --- The record: lines and progress. Called with the lock held.

// "READ: 1000/4000" or "WRITE: ..." with numbers of up to 64 bits; 0 when the line is one.
static int parse_progress(const char *line, char *kind, long long *done, long long *total)
{
    const char *p;
    if (strncmp(line, "READ: ", 6) == 0) {
        text_copy(kind, 8, "READ");
        p = line + 6;
    } else if (strncmp(line, "WRITE: ", 7) == 0) {
        text_copy(kind, 8, "WRITE");
        p = line + 7;
    } else {
        return -1;
    }
    long long values[2];
    for (int i = 0; i < 2; i++) {
        int negative = *p == '-';
        if (negative)
            p++;
        int64_t v;
        if (text_to_int64(p, &v, &p) <= 0)
            return -1;
        values[i] = negative ? -(long long)v : (long long)v;
        if (i == 0 && *p++ != '/')
            return -1;
    }
    while (*p == ' ')
        p++;
    if (*p)
        return -1;
    *done = values[0];
    *total = values[1];
    return 0;
}

static void panel_take_line(StatusWindow *w, const char *line)
{
    char kind[8];
    long long done, total;
    if (parse_progress(line, kind, &done, &total) == 0) {
        PanelProgress *pr = &w->progress;
        Clock::time_point now = Clock::now();
        // A new transfer: another direction, another total, or the count went back.
        if (!pr->active || strcmp(pr->kind, kind) != 0 || pr->total != total || done < pr->done) {
            pr->active = 1;
            text_copy(pr->kind, sizeof pr->kind, kind);
            pr->start = now;
            pr->start_done = done;
            pr->rate = -1;
        } else {
            double seconds = std::chrono::duration<double>(now - pr->start).count();
            if (seconds >= 0.5)
                pr->rate = (double)(done - pr->start_done) / seconds;
        }
        pr->done = done;
        pr->total = total;
        return;
    }
    text_copy(w->lines[w->line_next], PANEL_LINE_SIZE, line);
    w->line_next = (w->line_next + 1) % PANEL_MAX_HEIGHT;
    if (w->line_count < PANEL_MAX_HEIGHT)
        w->line_count++;
}

static void panel_take_text(StatusWindow *w, const char *text)
{
    size_t len = strlen(w->partial);
    for (const char *p = text; *p; p++) {
        if (*p == '\r')
            continue;
        if (*p == '\n') {
            panel_take_line(w, w->partial);
            w->partial[0] = '\0';
            w->partial_full = 0;
            len = 0;
            continue;
        }
        if (w->partial_full)
            continue;
        if (len + 1 >= PANEL_LINE_SIZE) {
            trim_incomplete(w->partial, len);
            w->partial_full = 1;
            continue;
        }
        w->partial[len++] = *p;
        w->partial[len] = '\0';
    }
}

static void panel_wake(StatusWindow *w)
{
    char c = 1;
    ssize_t n = write(w->wake[1], &c, 1);
    (void)n;  // a full pipe already holds a wake-up
}

// --- Drawing, on the panel's thread only.

// The progress figures of the record; the row(s) are left empty while no transfer runs.
static int format_progress(const PanelProgress *pr, int cols, int max_rows, char *row1, char *row2)
{
    row1[0] = row2[0] = '\0';
    if (!pr->active)
        return 0;
    StatusProgressFigures figures;
    figures.kind = pr->kind;
    figures.done = pr->done;
    figures.total = pr->total;
    figures.rate = pr->rate;
    figures.elapsed = std::chrono::duration<double>(Clock::now() - pr->start).count();
    return status_progress_format(&figures, cols - 1, max_rows, row1, row2);
}

// One row: back to the first column, the text, the rest of the row cleared.
static void frame_row(char *frame, size_t *len, const TtyCaps *caps, const char *text, int cols,
                      int highlight)
{
    put_raw(frame, PANEL_FRAME_SIZE, len, "\r");
    if (highlight)
        put_raw(frame, PANEL_FRAME_SIZE, len, caps->cap_reverse);
    put_display(frame, PANEL_FRAME_SIZE, len, text, cols - 1);
    if (highlight)
        put_raw(frame, PANEL_FRAME_SIZE, len, caps->cap_normal);
    put_raw(frame, PANEL_FRAME_SIZE, len, caps->cap_eol);
}

static void frame_back_to_top(char *frame, size_t *len, StatusWindow *w)
{
    put_raw(frame, PANEL_FRAME_SIZE, len, "\r");
    for (int i = 1; i < w->height; i++)
        put_raw(frame, PANEL_FRAME_SIZE, len, w->tty.caps.cap_up);
}

// Builds the whole panel under the lock and writes it; the cursor ends where the panel
// begins.
static void panel_draw(StatusWindow *w)
{
    static char frame[PANEL_FRAME_SIZE];  // this thread only: one panel at a time
    size_t len = 0;
    int rows, cols;
    tty_size(w->tty.fd, &rows, &cols);
    frame[0] = '\0';
    {
        std::lock_guard<std::mutex> guard(w->lock);
        w->dirty = 0;
        const TtyCaps *caps = &w->tty.caps;
        char title[128];
        text_copy(title, sizeof title, "-- KESTREL.DLL Status ");
        while ((int)strlen(title) < cols - 1 && strlen(title) < sizeof title - 1)
            text_append(title, sizeof title, "-");
        frame_row(frame, &len, caps, title, cols, 0);

        // A narrow terminal gets the progress on two rows, taken from the text.
        char progress[2][STATUS_PROGRESS_ROW_SIZE];
        int progress_rows = format_progress(&w->progress, cols, w->height >= 5 ? 2 : 1, progress[0], progress[1]);
        if (progress_rows < 1)
            progress_rows = 1;
        int text_rows = w->height - 2 - progress_rows;
        int has_partial = w->partial[0] != '\0';
        int has_warning = w->warning[0] != '\0';
        int wanted = text_rows - has_warning;
        int from_ring = wanted - has_partial;
        if (from_ring > w->line_count)
            from_ring = w->line_count;
        int shown = 0;
        for (int i = from_ring; i > 0; i--, shown++) {
            int index = (w->line_next - i + PANEL_MAX_HEIGHT) % PANEL_MAX_HEIGHT;
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
            frame_row(frame, &len, caps, w->lines[index], cols, 0);
        }
        if (has_partial && shown < wanted) {
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
            frame_row(frame, &len, caps, w->partial, cols, 0);
            shown++;
        }
        for (; shown < wanted; shown++) {
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
            frame_row(frame, &len, caps, "", cols, 0);
        }
        if (has_warning) {
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
            frame_row(frame, &len, caps, w->warning, cols, 1);
        }

        for (int i = 0; i < progress_rows; i++) {
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
            frame_row(frame, &len, caps, progress[i], cols, 0);
        }

        int pressed = Clock::now() < w->flash_until;
        put_raw(frame, PANEL_FRAME_SIZE, &len, "\n\r");
        if (pressed)
            put_raw(frame, PANEL_FRAME_SIZE, &len, caps->cap_reverse);
        put_display(frame, PANEL_FRAME_SIZE, &len, "[ Cancel ]", cols - 1);
        if (pressed)
            put_raw(frame, PANEL_FRAME_SIZE, &len, caps->cap_normal);
        put_display(frame, PANEL_FRAME_SIZE, &len,
                    has_warning ? "  Esc or c: cancel   other keys: dismiss the warning"
                                : "  Esc or c: cancel",
                    cols - 1 - 10);
        put_raw(frame, PANEL_FRAME_SIZE, &len, caps->cap_eol);
        frame_back_to_top(frame, &len, w);
    }
    if (tty_write(w->tty.fd, frame, len) != 0) {
        std::lock_guard<std::mutex> guard(w->lock);
        w->dirty = 1;  // try again on the next round
    }
}

// Makes room for the panel below the cursor (scrolling when it sits near the bottom) and
// switches the terminal to single keys without echo. Ctrl-C keeps working: ISIG stays.
static int panel_start(StatusWindow *w)
{
    if (tcgetattr(w->tty.fd, &w->saved_modes) != 0)
        return -1;
    int rows, cols;
    tty_size(w->tty.fd, &rows, &cols);
    w->height = rows - 1 < PANEL_MAX_HEIGHT ? rows - 1 : PANEL_MAX_HEIGHT;
    if (w->height < 4 || cols < PANEL_MIN_COLS)
        return -1;
    struct termios modes = w->saved_modes;
    modes.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
    modes.c_cc[VMIN] = 0;
    modes.c_cc[VTIME] = 0;
    if (tcsetattr(w->tty.fd, TCSANOW, &modes) != 0)
        return -1;
    char frame[512];
    size_t len = 0;
    frame[0] = '\0';
    put_raw(frame, sizeof frame, &len, w->tty.caps.cap_hide);
    put_raw(frame, sizeof frame, &len, "\r");
    for (int i = 1; i < w->height; i++)
        put_raw(frame, sizeof frame, &len, "\n");
    frame_back_to_top(frame, &len, w);
    tty_write(w->tty.fd, frame, len);
    return 0;
}

// What clears the panel from its first line and shows the cursor again.
static size_t erase_frame(StatusWindow *w, char *frame)
{
    size_t len = 0;
    frame[0] = '\0';
    for (int i = 0; i < w->height; i++) {
        if (i > 0)
            put_raw(frame, PANEL_FRAME_SIZE, &len, "\n");
        put_raw(frame, PANEL_FRAME_SIZE, &len, "\r");
        put_raw(frame, PANEL_FRAME_SIZE, &len, w->tty.caps.cap_eol);
    }
    frame_back_to_top(frame, &len, w);
    put_raw(frame, PANEL_FRAME_SIZE, &len, w->tty.caps.cap_show);
    return len;
}

static void panel_finish(StatusWindow *w)
{
    static char frame[PANEL_FRAME_SIZE];
    size_t len = erase_frame(w, frame);
    tty_write(w->tty.fd, frame, len);
    tcsetattr(w->tty.fd, TCSANOW, &w->saved_modes);
}

// --- Signals while the panel is up. Left to their defaults, Ctrl-C, a kill or a closed
// terminal would end the process with the panel on the screen, the cursor hidden and the
// terminal without echo. The handler only writes the signal's number to a pipe that the
// panel's thread watches (marked when it is not the first). The first presses Cancel, so
// the command ends as after Esc and status_close puts everything back. A second one does
// not wait for that: the panel's thread, the only one that draws, erases the panel, puts
// the modes back and exits the process.

static const int kPanelSignals[] = {SIGINT, SIGTERM, SIGHUP};
enum { PANEL_SIGNAL_COUNT = sizeof kPanelSignals / sizeof kPanelSignals[0] };
static struct sigaction g_saved_actions[PANEL_SIGNAL_COUNT];
static int g_signal_pipe[2] = {-1, -1};  // made once, kept for the process's life
static std::atomic<int> g_signals_seen(0);
enum { SIGNAL_AGAIN = 0x80 };  // marks a signal that is not the first

static void panel_signal(int number)
{
    int saved_errno = errno;
    unsigned char byte = (unsigned char)number;
    if (g_signals_seen.fetch_add(1) > 0)
        byte |= SIGNAL_AGAIN;
    ssize_t written = write(g_signal_pipe[1], &byte, 1);
    (void)written;
    errno = saved_errno;
}

// Called on the panel's thread once the panel is drawn; -1 leaves the defaults alone.
static int panel_signals_take(void)
{
    if (g_signal_pipe[0] < 0 && pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    char drain[64];
    while (read(g_signal_pipe[0], drain, sizeof drain) > 0) {
    }
    g_signals_seen.store(0);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = panel_signal;
    // The busy thread's system calls go on; the cancel is what ends the command.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int number : kPanelSignals)
        sigaddset(&action.sa_mask, number);
    for (int i = 0; i < PANEL_SIGNAL_COUNT; i++) {
        // A signal ignored from the start (nohup) stays ignored.
        sigaction(kPanelSignals[i], nullptr, &g_saved_actions[i]);
        if (g_saved_actions[i].sa_handler != SIG_IGN)
            sigaction(kPanelSignals[i], &action, nullptr);
    }
    return 0;
}

static void panel_press_cancel(StatusWindow *w);

// What the pipe brought: the first signal presses Cancel; another one ends the process
// at once, with the terminal as it was before the panel.
static void panel_signals_read(StatusWindow *w)
{
    unsigned char numbers[16];
    ssize_t n;
    int pressed = 0;
    while ((n = read(g_signal_pipe[0], numbers, sizeof numbers)) > 0) {
        for (ssize_t i = 0; i < n; i++) {
            if (numbers[i] & SIGNAL_AGAIN) {
                panel_finish(w);
                _exit(128 + (numbers[i] & ~SIGNAL_AGAIN));
            }
            pressed = 1;
        }
    }
    if (pressed)
        panel_press_cancel(w);
}

static void panel_signals_give_back(void)
{
    for (int i = 0; i < PANEL_SIGNAL_COUNT; i++) {
        if (g_saved_actions[i].sa_handler != SIG_IGN)
            sigaction(kPanelSignals[i], &g_saved_actions[i], nullptr);
    }
}

static void panel_press_cancel(StatusWindow *w)
{
    {
        std::lock_guard<std::mutex> guard(w->lock);
        w->warning[0] = '\0';
        w->flash_until = Clock::now() + std::chrono::milliseconds(PANEL_FLASH_MS);
        w->dirty = 1;
    }
    panel_draw(w);
    // Without the lock: the callback may show a warning, which takes it.
    if (w->cancel_callback != nullptr)
        w->cancel_callback(w->cancel_argument);
}

// Handles what one read brought. A lone Esc is the key; Esc followed by more bytes is a
// function key's sequence and is skipped.
static void panel_keys(StatusWindow *w, const char *keys, int n)
{
    for (int i = 0; i < n; i++) {
        char c = keys[i];
        if (c == 0x1b && i + 1 == n) {
            struct pollfd p = {w->tty.fd, POLLIN, 0};
            if (poll(&p, 1, 30) <= 0) {
                panel_press_cancel(w);
                continue;
            }
            char rest[64];
            ssize_t more = read(w->tty.fd, rest, sizeof rest);
            if (more <= 0)
                panel_press_cancel(w);
            break;  // otherwise a sequence that arrived late: dropped with its Esc
        }
        if (c == 0x1b) {
            i++;
            if (i < n && (keys[i] == '[' || keys[i] == 'O')) {
                while (i + 1 < n && !(keys[i + 1] >= 0x40 && keys[i + 1] <= 0x7E))
                    i++;
                i++;
            }
            continue;
        }
        if (c == 'c' || c == 'C') {
            panel_press_cancel(w);
            continue;
        }
        std::lock_guard<std::mutex> guard(w->lock);
        if (w->warning[0]) {
            w->warning[0] = '\0';
            w->dirty = 1;
        }
    }
}

static void panel_thread(StatusWindow *w)
{
    // Drawing from a job that was moved to the background must not stop the process.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    sigaddset(&block, SIGTTIN);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);

    int ok = panel_start(w) == 0;
    {
        std::lock_guard<std::mutex> guard(w->lock);
        w->started = ok ? 1 : -1;
    }
    w->started_signal.notify_all();
    if (!ok)
        return;

    int signals_taken = panel_signals_take() == 0;
    int keys_open = 1;
    int suspended = 0;
    Clock::time_point last_draw = Clock::now();
    while (!w->closing.load()) {
        if (tty_form_active()) {
            suspended = 1;
            struct pollfd p = {w->wake[0], POLLIN, 0};
            poll(&p, 1, PANEL_POLL_MS);
            continue;
        }
        int redraw;
        int flashing;
        int ticking;
        {
            std::lock_guard<std::mutex> guard(w->lock);
            flashing = w->flash_until > Clock::now() - std::chrono::milliseconds(PANEL_POLL_MS);
            // While a transfer runs the clock moves on even when no bytes come.
            ticking = w->progress.active && Clock::now() - last_draw >= std::chrono::seconds(1);
            redraw = w->dirty || suspended || flashing || ticking;
        }
        if (redraw)
            last_draw = Clock::now();
        suspended = 0;
        if (redraw)
            panel_draw(w);

        struct pollfd fds[3] = {{w->wake[0], POLLIN, 0},
                                {keys_open ? w->tty.fd : -1, POLLIN, 0},
                                {signals_taken ? g_signal_pipe[0] : -1, POLLIN, 0}};
        if (poll(fds, 3, PANEL_POLL_MS) <= 0)
            continue;
        if (fds[2].revents & POLLIN)
            panel_signals_read(w);
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(w->wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            char keys[64];
            ssize_t n = read(w->tty.fd, keys, sizeof keys);
            if (n > 0)
                panel_keys(w, keys, (int)n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                keys_open = 0;  // the terminal hung up: keep going without keys
        }
    }
    // Erased first: a signal that comes meanwhile still finds the handler.
    panel_finish(w);
    if (signals_taken)
        panel_signals_give_back();
}

static void panel_free(StatusWindow *w)
{
    tty_close(&w->tty);
    if (w->wake[0] >= 0)
        close(w->wake[0]);
    if (w->wake[1] >= 0)
        close(w->wake[1]);
    delete w;
}

StatusWindow *status_open(void *module, KESTREL_WINDOW owner, StatusCancelCallback cancel, intptr_t argument)
{
    (void)module;
    (void)owner;
    {
        std::lock_guard<std::mutex> guard(g_panel_lock);
        if (g_panel_busy)
            return nullptr;
        g_panel_busy = 1;
    }
    StatusWindow *w = new (std::nothrow) StatusWindow();
    if (w == nullptr)
        goto fail;
    w->wake[0] = w->wake[1] = -1;
    w->tty.fd = -1;
    w->cancel_callback = cancel;
    w->cancel_argument = argument;
    if (tty_open(&w->tty, TTY_NONBLOCK) != 0 || !w->tty.caps.cap_up[0] || !w->tty.caps.cap_eol[0])
        goto fail;
    if (pipe2(w->wake, O_CLOEXEC | O_NONBLOCK) != 0)
        goto fail;
    try {
        w->thread = std::thread(panel_thread, w);
    } catch (const std::system_error &) {
        goto fail;
    }
    {
        std::unique_lock<std::mutex> guard(w->lock);
        w->started_signal.wait_for(guard, std::chrono::milliseconds(PANEL_START_LIMIT_MS),
                                   [w] { return w->started != 0; });
        if (w->started != 1) {
            guard.unlock();
            w->closing.store(1);
            w->thread.join();
            goto fail;
        }
    }
    status_append(w, "KESTREL.DLL is Executing...\r\n");
    {
        std::lock_guard<std::mutex> guard(g_panel_lock);
        g_panel = w;
    }
    return w;

fail:
    if (w != nullptr)
        panel_free(w);
    std::lock_guard<std::mutex> guard(g_panel_lock);
    g_panel_busy = 0;
    return nullptr;
}

int status_append(StatusWindow *window, const char *text)
{
    char converted[STATUS_TEXT_SIZE];
    int cut = status_convert_line_ends(text, converted, sizeof converted) != 0;
    if (window == nullptr)
        return 1;
    {
        std::lock_guard<std::mutex> guard(window->lock);
        panel_take_text(window, converted);
        // An overlong line lost its end in the cut; without it the next text would
        // vanish into the dropped rest of this one.
        size_t len = text != nullptr ? strlen(text) : 0;
        if (cut && len > 0 && text[len - 1] == '\n')
            panel_take_text(window, "\n");
        window->dirty = 1;
    }
    panel_wake(window);
    return 1;
}

int status_close(StatusWindow *window)
{
    if (window == nullptr)
        return 0;
    {
        std::lock_guard<std::mutex> guard(g_panel_lock);
        if (g_panel == window)
            g_panel = nullptr;
    }
    window->closing.store(1);
    panel_wake(window);
    window->thread.join();
    panel_free(window);
    std::lock_guard<std::mutex> guard(g_panel_lock);
    g_panel_busy = 0;
    return 0;
}

void status_show_warning(const char *text)
{
    std::lock_guard<std::mutex> guard(g_panel_lock);
    if (g_panel != nullptr) {
        {
            std::lock_guard<std::mutex> inner(g_panel->lock);
            text_copy(g_panel->warning, PANEL_LINE_SIZE, text);
            trim_incomplete(g_panel->warning, strlen(g_panel->warning));
            g_panel->dirty = 1;
        }
        panel_wake(g_panel);
        return;
    }
    // No panel to hold it: one highlighted line on the terminal, if there is one.
    TtyTerminal tty;
    if (tty_open(&tty, TTY_NONBLOCK) != 0)
        return;
    static char line[PANEL_LINE_SIZE + 2 * TTY_CAP_SIZE + 32];
    size_t len = 0;
    line[0] = '\0';
    put_raw(line, sizeof line, &len, "\r");
    put_raw(line, sizeof line, &len, tty.caps.cap_reverse);
    put_display(line, sizeof line, &len, "KESTREL.DLL: ", 13);
    put_display(line, sizeof line, &len, text, PANEL_LINE_SIZE - 64);
    put_raw(line, sizeof line, &len, tty.caps.cap_normal);
    put_raw(line, sizeof line, &len, "\r\n");
    tty_write(tty.fd, line, len);
    tty_close(&tty);
}
