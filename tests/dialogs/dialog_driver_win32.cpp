#include "tests/dialogs/dialog_driver_win32.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

std::wstring driver_text_wide(HWND dialog, int id)
{
    HWND item = GetDlgItem(dialog, id);
    wchar_t text[512] = L"";
    GetWindowTextW(item, text, (int)(sizeof text / sizeof text[0]));
    return text;
}

namespace {

struct Control {
    HWND window;
    RECT rect;  // client coordinates of the dialog
    bool group_box, button_box, has_label;
    std::wstring text;
};

BOOL CALLBACK collect_control(HWND window, LPARAM list)
{
    Control c;
    c.window = window;
    GetWindowRect(window, &c.rect);
    MapWindowPoints(nullptr, GetParent(window), (POINT *)&c.rect, 2);
    wchar_t class_name[32] = L"";
    GetClassNameW(window, class_name, 32);
    LONG style = GetWindowLongW(window, GWL_STYLE);
    bool button = lstrcmpiW(class_name, L"Button") == 0;
    bool label = lstrcmpiW(class_name, L"Static") == 0 && (style & SS_TYPEMASK) <= SS_RIGHT;
    c.group_box = button && (style & BS_TYPEMASK) == BS_GROUPBOX;
    int kind = style & BS_TYPEMASK;
    c.button_box = button && (kind == BS_AUTORADIOBUTTON || kind == BS_RADIOBUTTON || kind == BS_CHECKBOX ||
                              kind == BS_AUTOCHECKBOX);
    c.has_label = button || label;
    wchar_t text[256] = L"";
    GetWindowTextW(window, text, 256);
    c.text = text;
    ((std::vector<Control> *)list)->push_back(c);
    return TRUE;
}

std::string narrow(const std::wstring &text)
{
    char out[512] = "";
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out, (int)sizeof out, nullptr, nullptr);
    return out;
}

}  // namespace

std::string driver_layout_faults(HWND dialog)
{
    std::vector<Control> controls;
    EnumChildWindows(dialog, collect_control, (LPARAM)&controls);
    std::string faults;
    HDC dc = GetDC(dialog);
    HFONT font = (HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0);
    HGDIOBJ old = SelectObject(dc, font);
    for (const Control &c : controls) {
        if (!c.has_label || c.text.empty())
            continue;
        SIZE size = {0, 0};
        GetTextExtentPoint32W(dc, c.text.c_str(), (int)c.text.size(), &size);
        // A radio or check box draws its mark and a gap before the text; a group box its
        // frame's corner; a push button its edges.
        int room = c.rect.right - c.rect.left;
        if (c.button_box)
            room -= GetSystemMetrics(SM_CXMENUCHECK) + 4;
        else if (c.group_box)
            room -= 12;
        else if (GetDlgCtrlID(c.window) == IDOK || GetDlgCtrlID(c.window) == IDCANCEL)
            room -= 6;
        if (size.cx > room)
            faults += "\"" + narrow(c.text) + "\" needs " + std::to_string(size.cx) + " px, has " +
                      std::to_string(room) + "; ";
    }
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);
    for (size_t i = 0; i < controls.size(); i++)
        for (size_t j = i + 1; j < controls.size(); j++) {
            RECT overlap;
            if (controls[i].group_box || controls[j].group_box)
                continue;  // a group box holds its controls
            if (IntersectRect(&overlap, &controls[i].rect, &controls[j].rect))
                faults += "\"" + narrow(controls[i].text) + "\" (" + std::to_string(GetDlgCtrlID(controls[i].window)) +
                          ") overlaps \"" + narrow(controls[j].text) + "\" (" +
                          std::to_string(GetDlgCtrlID(controls[j].window)) + "); ";
        }
    return faults;
}

std::wstring driver_font_face(HWND dialog)
{
    LOGFONTW face;
    HFONT font = (HFONT)SendMessageW(dialog, WM_GETFONT, 0, 0);
    if (!font || GetObjectW(font, sizeof face, &face) == 0)
        return L"<no font>";
    return face.lfFaceName;
}
