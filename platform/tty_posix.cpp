#include "platform/tty_posix.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <curses.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <term.h>
#include <unistd.h>

#include "util/text.h"

static std::atomic<int> g_form_active(0);

void tty_set_form_active(int active)
{
    g_form_active.store(active ? 1 : 0);
}

int tty_form_active(void)
{
    return g_form_active.load();
}

// Copies a terminfo string without its "$<..>" padding marks; an absent or overlong
// capability leaves the slot empty, so callers treat it as missing.
static void copy_cap(char *dst, const char *cap_name)
{
    dst[0] = '\0';
    char *value = tigetstr(cap_name);
    if (value == nullptr || value == (char *)-1)
        return;
    size_t n = 0;
    for (const char *p = value; *p; p++) {
        if (p[0] == '$' && p[1] == '<') {
            const char *end = strchr(p, '>');
            if (end != nullptr) {
                p = end;
                continue;
            }
        }
        if (n + 1 >= TTY_CAP_SIZE) {
            dst[0] = '\0';
            return;
        }
        dst[n++] = *p;
    }
    dst[n] = '\0';
}

// Looks the terminal up in the database and keeps what the panel needs. The lookup goes
// through a TERMINAL of its own, and whatever terminal was current before is put back,
// so a curses screen of the host program is left alone.
static int load_caps(TtyTerminal *tty)
{
    TERMINAL *previous = cur_term;
    int error = 0;
    if (setupterm(tty->name, tty->fd, &error) != OK) {
        if (cur_term != previous)
            set_curterm(previous);
        return -1;
    }
    TERMINAL *mine = cur_term;
    copy_cap(tty->caps.cap_up, "cuu1");
    copy_cap(tty->caps.cap_eol, "el");
    copy_cap(tty->caps.cap_reverse, "rev");
    if (!tty->caps.cap_reverse[0])
        copy_cap(tty->caps.cap_reverse, "smso");
    copy_cap(tty->caps.cap_normal, "sgr0");
    if (!tty->caps.cap_normal[0])
        copy_cap(tty->caps.cap_normal, "rmso");
    copy_cap(tty->caps.cap_hide, "civis");
    copy_cap(tty->caps.cap_show, "cnorm");
    set_curterm(previous);
    del_curterm(mine);
    return 0;
}

int tty_open(TtyTerminal *out, int flags)
{
    memset(out, 0, sizeof *out);
    out->fd = -1;
    const char *term = getenv("TERM");
    if (term == nullptr || term[0] == '\0' || strcmp(term, "dumb") == 0)
        return -1;
    if (text_copy(out->name, sizeof out->name, term) != 0)
        return -1;
    int open_flags = O_RDWR | O_NOCTTY | O_CLOEXEC;
    if (flags & TTY_NONBLOCK)
        open_flags |= O_NONBLOCK;
    int fd = open("/dev/tty", open_flags);
    if (fd < 0)
        return -1;
    out->fd = fd;
    if (!isatty(fd) || tcgetpgrp(fd) != getpgrp() || load_caps(out) != 0) {
        tty_close(out);
        return -1;
    }
    return 0;
}

void tty_close(TtyTerminal *tty)
{
    if (tty->fd >= 0)
        close(tty->fd);
    tty->fd = -1;
}

void tty_size(int fd, int *rows, int *cols)
{
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    *rows = 24;
    *cols = 80;
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        *rows = ws.ws_row;
        *cols = ws.ws_col;
    }
}

int tty_write(int fd, const char *data, size_t size)
{
    int stalls = 0;
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && stalls < 10) {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 10);
            stalls++;
            continue;
        }
        return -1;
    }
    return 0;
}
