// The configuration dialog: moves the values of g_settings into its controls and, on OK,
// back. It never touches the store itself; KestrelConfigDialog loads before and saves after.
#pragma once

// Runs the dialog modally over owner, the caller's window (an HWND on Windows; may be
// null). 1 after OK, 0 after Cancel, -1 when it cannot be shown (no display on Windows,
// no terminal on Linux).
int config_dialog_run(void *module, void *owner);
