// The controlling terminal as the Linux status panel and configuration form use it. They
// draw on /dev/tty only, never on standard output or standard error, so a report that
// goes to a pipe or a file stays clean.
#pragma once

#include <cstddef>

enum { TTY_NAME_SIZE = 64, TTY_CAP_SIZE = 48 };

// The few terminfo strings the inline panel needs, padding removed; empty when the
// terminal lacks one.
struct TtyCaps {
    char cap_up[TTY_CAP_SIZE];       // cuu1
    char cap_eol[TTY_CAP_SIZE];      // el
    char cap_reverse[TTY_CAP_SIZE];  // rev, else smso
    char cap_normal[TTY_CAP_SIZE];   // sgr0, else rmso
    char cap_hide[TTY_CAP_SIZE];     // civis
    char cap_show[TTY_CAP_SIZE];     // cnorm
};

struct TtyTerminal {
    int fd;                       // /dev/tty, close-on-exec
    char name[TTY_NAME_SIZE];     // $TERM
    TtyCaps caps;
};

enum {
    TTY_NONBLOCK = 1,  // open the terminal non-blocking: a stopped terminal (Ctrl-S) never hangs a writer
};

// Opens the controlling terminal when a terminal UI may be shown there: /dev/tty opens,
// the process is in the terminal's foreground group (a background job that touched the
// modes would be stopped by SIGTTOU), and TERM names a terminal that the terminal database
// knows, other than "dumb". 0 with out filled, or -1 with nothing left open. Never waits.
int tty_open(TtyTerminal *out, int flags);
void tty_close(TtyTerminal *tty);

// Rows and columns of the terminal; 24 x 80 when the size is not known.
void tty_size(int fd, int *rows, int *cols);

// Writes everything or gives up: on a non-blocking terminal that stays full for about
// 100 ms the rest is dropped. 0 when all was written, -1 otherwise.
int tty_write(int fd, const char *data, size_t size);

// Set while a full-screen form owns the terminal: an inline panel stops drawing and
// reading keys until it is cleared, then draws itself again.
void tty_set_form_active(int active);
int tty_form_active(void);
