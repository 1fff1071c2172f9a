// The status window: while the command entry runs a command it shows the URL, the
// progress lines and the entry's remarks, and offers Cancel. It lives on a thread of its
// own (a modeless dialog on Windows, an inline panel on /dev/tty on Linux), so it stays
// responsive while the caller's thread waits in the network. Every operation accepts a
// null record: the command then simply runs without a window.
#pragma once

#include <cstdint>

#include "api/kestrel.h"

struct StatusWindow;

// Called on the window's thread when the user presses Cancel; the result is ignored.
typedef int(KESTREL_API *StatusCancelCallback)(intptr_t argument);

enum { STATUS_TEXT_SIZE = 1000 };

// Opens the window and writes the greeting; null when it cannot be shown (no display, no
// terminal), within a few seconds at most. The module and owner are accepted and unused.
StatusWindow *status_open(void *module, KESTREL_WINDOW owner, StatusCancelCallback cancel, intptr_t argument);
// Adds text (any mix of line ends) to the window; always 1.
int status_append(StatusWindow *window, const char *text);
// printf into a 1000-byte buffer, then status_append; -1 when formatting fails.
int status_print(StatusWindow *window, const char *format, ...) __attribute__((format(gnu_printf, 2, 3)));
// Closes the window and waits for its thread to end; 0.
int status_close(StatusWindow *window);

// Registered with KestrelSetCallbackMsgFunc, with the StatusWindow as user value.
int KESTREL_API status_message_callback(const char *text, intptr_t user);
// The cancel callback that the command entry gives status_open, with the address of its
// own handle variable (HARC *) as argument. It reads the variable and cancels under the
// lock that status_set_handle takes, so a handle is never cancelled while being closed.
int KESTREL_API status_cancel_callback(intptr_t handle_variable);
// Stores a value in a handle variable that status_cancel_callback may read meanwhile. The
// entry clears the variable this way before it closes the handle.
void status_set_handle(HARC *handle_variable, HARC handle);

// --- Shared by the platform implementations.

// Drops every CR, then turns every LF into CR LF, into out (size bytes). Text that would
// not fit is cut at a character boundary (never inside a CR LF pair or a double-byte
// character); 0 when all of it fit, -1 when it was cut.
int status_convert_line_ends(const char *text, char *out, int size);

// Shows a warning that the user must acknowledge (a message box captioned "KESTREL.DLL"
// on Windows); called on the window's thread.
void status_show_warning(const char *text);
