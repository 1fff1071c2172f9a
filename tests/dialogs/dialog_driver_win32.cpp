#include "tests/dialogs/dialog_driver_win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>

HWND driver_wait_window(const char *caption, int timeout_ms)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowA(nullptr, caption);
        if (window && IsWindowVisible(window))
            return window;
        if ((int)(GetTickCount() - start) > timeout_ms)
            return nullptr;
        Sleep(10);
    }
}

bool driver_wait_gone(const char *caption, int timeout_ms)
{
    DWORD start = GetTickCount();
    while (FindWindowA(nullptr, caption)) {
        if ((int)(GetTickCount() - start) > timeout_ms)
            return false;
        Sleep(10);
    }
    return true;
}

std::string driver_text(HWND dialog, int id)
{
    HWND item = GetDlgItem(dialog, id);
    int length = GetWindowTextLengthA(item);
    std::string text((size_t)length + 1, '\0');
    int got = GetWindowTextA(item, &text[0], length + 1);
    text.resize((size_t)(got > 0 ? got : 0));
    return text;
}

static BOOL CALLBACK collect_text(HWND child, LPARAM out)
{
    char text[512];
    GetWindowTextA(child, text, sizeof text);
    *(std::string *)out += text;
    *(std::string *)out += "\n";
    return TRUE;
}

std::string driver_child_texts(HWND window)
{
    std::string texts;
    EnumChildWindows(window, collect_text, (LPARAM)&texts);
    return texts;
}

void driver_click(HWND dialog, int id)
{
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void driver_key(HWND dialog, UINT key)
{
    HWND target = GetDlgItem(dialog, 1000);
    PostMessageA(target ? target : dialog, WM_KEYDOWN, key, 1);
    PostMessageA(target ? target : dialog, WM_KEYUP, key, 0xC0000001);
}

static const char *signal_folder(void)
{
    const char *folder = getenv("KESTREL_SCREENSHOT_SIGNAL");
    return folder && *folder ? folder : nullptr;
}

bool driver_taking_screenshots(void)
{
    return signal_folder() != nullptr;
}

bool driver_screenshot(const char *name, const char *caption)
{
    const char *folder = signal_folder();
    if (!folder)
        return false;
    std::string ready = std::string(folder) + "\\" + name + ".ready";
    std::string done = std::string(folder) + "\\" + name + ".done";
    FILE *out = fopen(ready.c_str(), "w");
    if (!out)
        return false;
    fputs(caption, out);
    fclose(out);
    for (int waited = 0; waited < 30000; waited += 50) {
        if (GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(50);
    }
    return false;
}
