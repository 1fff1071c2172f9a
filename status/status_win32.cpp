// The status window on Windows: a modeless dialog (template 102) owned by a thread of its
// own, so that it repaints and answers Cancel while the caller's thread sits in a network
// wait. The caller's thread only ever talks to it through synchronous sends.
#include "status/status.h"

#include <windows.h>
#include <process.h>

#include <atomic>
#include <cstring>
#include <cwchar>
#include <new>

#include "platform/module.h"
#include "resources/resource_ids.h"

// How long status_open waits for the window. Without a display the dialog fails within
// a fraction of a second; the limit is for a thread that neither succeeds nor fails.
enum { STATUS_OPEN_LIMIT_MS = 5000 };

// The edit control keeps at most this many characters; older lines give way so that a
// long transfer keeps showing its latest progress.
enum { STATUS_EDIT_KEEP = 60000 };

// Who is responsible for the record while status_open waits: the opener frees it, unless
// it gave up waiting, in which case a late thread must clean up after itself.
enum { OPEN_WAITING, OPEN_READY, OPEN_FAILED, OPEN_ABANDONED };

// Private message: destroy the window on its own thread (a window can only be destroyed
// by the thread that created it).
enum { WM_STATUS_DESTROY = WM_APP + 1 };

struct StatusWindow {
    HANDLE thread;
    HWND parent_window;
    std::atomic<HWND> dialog_window;
    StatusCancelCallback cancel_callback;
    intptr_t cancel_argument;
    std::atomic<int> open_state;
};

// The templates live in the DLL, or in the program itself when the code is linked
// statically into it (then the DLL's handle was never recorded).
static HINSTANCE status_module(void)
{
    void *module = platform_module_handle();
    return module ? (HINSTANCE)module : GetModuleHandleA(nullptr);
}

static INT_PTR CALLBACK status_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, GWLP_USERDATA, (LONG_PTR)lparam);
        SendDlgItemMessageW(dialog, IDC_STATUS_TEXT, EM_LIMITTEXT, STATUS_EDIT_KEEP + 2 * STATUS_TEXT_SIZE, 0);
        return TRUE;
    case WM_STATUS_DESTROY:
        DestroyWindow(dialog);
        return TRUE;
    case WM_DESTROY:
        PostQuitMessage(0);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDCANCEL) {
            StatusWindow *window = (StatusWindow *)GetWindowLongPtrW(dialog, GWLP_USERDATA);
            // The callback may show a message box; the window stays open either way.
            if (window && window->cancel_callback)
                window->cancel_callback(window->cancel_argument);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

static unsigned __stdcall status_thread(void *argument)
{
    StatusWindow *window = (StatusWindow *)argument;
    // A Unicode window: its Japanese Cancel label and font name show on any code page.
    HWND dialog = CreateDialogParamW(status_module(), MAKEINTRESOURCEW(IDD_KESTREL_STATUS),
                                     window->parent_window, status_dialog_procedure, (LPARAM)window);
    if (!dialog) {
        // Say so at once: the opener stops waiting and goes on without a window.
        int expected = OPEN_WAITING;
        if (!window->open_state.compare_exchange_strong(expected, OPEN_FAILED))
            delete window;  // the opener gave up already and left the record to us
        return 0;
    }
    ShowWindow(dialog, SW_SHOWNORMAL);
    UpdateWindow(dialog);
    window->dialog_window.store(dialog);
    int expected = OPEN_WAITING;
    if (!window->open_state.compare_exchange_strong(expected, OPEN_READY)) {
        DestroyWindow(dialog);
        delete window;
        return 0;
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        HWND current = window->dialog_window.load();
        if (current && IsDialogMessageW(current, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

StatusWindow *status_open(void *module, KESTREL_WINDOW owner, StatusCancelCallback cancel, intptr_t argument)
{
    (void)module;
    (void)owner;
    StatusWindow *window = new (std::nothrow) StatusWindow();
    if (!window)
        return nullptr;
    window->cancel_callback = cancel;
    window->cancel_argument = argument;

    HANDLE thread = (HANDLE)_beginthreadex(nullptr, 0, status_thread, window, 0, nullptr);
    if (!thread) {
        delete window;
        return nullptr;
    }

    DWORD start = GetTickCount();
    while (window->open_state.load() == OPEN_WAITING && GetTickCount() - start < STATUS_OPEN_LIMIT_MS)
        Sleep(1);

    int state = OPEN_WAITING;
    if (window->open_state.compare_exchange_strong(state, OPEN_ABANDONED)) {
        // Still nothing: the thread owns the record from now on and frees it if it ever
        // gets that far.
        CloseHandle(thread);
        return nullptr;
    }
    if (state == OPEN_FAILED) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        delete window;
        return nullptr;
    }
    window->thread = thread;
    status_append(window, "KESTREL.DLL is Executing...\r\n");
    return window;
}

int status_append(StatusWindow *window, const char *text)
{
    char converted[STATUS_TEXT_SIZE];
    status_convert_line_ends(text, converted, (int)sizeof converted);
    HWND dialog = window ? window->dialog_window.load() : nullptr;
    if (!dialog)
        return 1;
    // The library's texts are in the ANSI code page; the window is a Unicode one.
    wchar_t wide[STATUS_TEXT_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, converted, -1, wide, STATUS_TEXT_SIZE) == 0)
        return 1;
    HWND edit = GetDlgItem(dialog, IDC_STATUS_TEXT);
    int length = GetWindowTextLengthW(edit);
    if (length + (int)wcslen(wide) > STATUS_EDIT_KEEP) {
        // Drop the older half, at a line start, and go on at the end.
        int lines = (int)SendMessageW(edit, EM_GETLINECOUNT, 0, 0);
        int cut = (int)SendMessageW(edit, EM_LINEINDEX, (WPARAM)(lines / 2), 0);
        if (cut <= 0)
            cut = length;
        SendMessageW(edit, EM_SETSEL, 0, cut);
        SendMessageW(edit, EM_REPLACESEL, FALSE, (LPARAM)L"");
        length = GetWindowTextLengthW(edit);
        SendMessageW(edit, EM_SETSEL, (WPARAM)length, length);
    }
    SendMessageW(edit, EM_REPLACESEL, TRUE, (LPARAM)wide);
    return 1;
}

int status_close(StatusWindow *window)
{
    if (!window)
        return 0;
    HWND dialog = window->dialog_window.load();
    if (dialog) {
        // Sent, not posted: when this returns the window is gone and the quit message is
        // queued for the window's thread.
        SendMessageW(dialog, WM_STATUS_DESTROY, 0, 0);
        window->dialog_window.store(nullptr);
    }
    if (window->thread) {
        WaitForSingleObject(window->thread, INFINITE);
        CloseHandle(window->thread);
        window->thread = nullptr;
    }
    delete window;
    return 0;
}

void status_show_warning(const char *text)
{
    wchar_t wide[STATUS_TEXT_SIZE];
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, STATUS_TEXT_SIZE) == 0) {
        // Longer than the window takes: the first part, cut where the buffer ends.
        int n = MultiByteToWideChar(CP_ACP, 0, text, (int)strnlen(text, STATUS_TEXT_SIZE - 1), wide,
                                    STATUS_TEXT_SIZE - 1);
        wide[n > 0 ? n : 0] = L'\0';
    }
    MessageBoxW(nullptr, wide, L"KESTREL.DLL", MB_OK);
}
