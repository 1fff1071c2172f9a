// Working a real dialog from a second thread, as a user would: find it by caption, type
// into its fields, click its buttons. Every call is a synchronous send to the dialog's
// thread, so what it returns is what the dialog shows.
#pragma once

#include <windows.h>

#include <string>

// The top-level window with this caption, waiting up to timeout_ms for it; null if none.
HWND driver_wait_window(const char *caption, int timeout_ms = 5000);
// Waits up to timeout_ms until no window has this caption any more.
bool driver_wait_gone(const char *caption, int timeout_ms = 5000);
std::string driver_text(HWND dialog, int id);
// The control's text as the window holds it (not through the ANSI code page).
std::wstring driver_text_wide(HWND dialog, int id);
// Every label that its control cuts (text wider than the room the control gives it in the
// dialog's font) and every two controls that overlap, group boxes aside; empty if none.
std::string driver_layout_faults(HWND dialog);
// The face name of the dialog's font as the window got it.
std::wstring driver_font_face(HWND dialog);
// The texts of every child window (a message box's message is one of them).
std::string driver_child_texts(HWND window);
// A mouse click on a control, with the button's own handling (auto radio buttons uncheck
// the rest of their group).
void driver_click(HWND dialog, int id);
// A key press delivered to the dialog's focused control through its message loop.
void driver_key(HWND dialog, UINT key);

// When the tests run for screenshots (KESTREL_SCREENSHOT_SIGNAL names a folder), says
// that the window with this caption is ready to be photographed as `name` and waits until
// the picture is taken. False when not taking screenshots.
bool driver_screenshot(const char *name, const char *caption);
bool driver_taking_screenshots(void);
