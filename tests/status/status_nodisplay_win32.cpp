// The windows without a display (the ordinary Windows test run): nothing may wait for a
// window that cannot come. And the dialog templates as compiled into the module.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api/kestrel.h"
#include "config/config_dialog.h"
#include "status/status.h"
#include "tests/support/store_env.h"

// Exported by the library; not yet in its public header.
extern "C" int KESTREL_API KestrelConfigDialog(KESTREL_WINDOW window, const char *option, int mode);

namespace {

bool have_display(void)
{
    const char *display = getenv("DISPLAY");
    return display && *display;
}

int KESTREL_API never_called(intptr_t)
{
    ADD_FAILURE() << "cancel callback called without a window";
    return 1;
}

TEST(StatusNoDisplay, OpenAnswersNullAtOnceAndTheNullRecordIsAccepted)
{
    if (have_display())
        GTEST_SKIP() << "a display is there";
    DWORD start = GetTickCount();
    StatusWindow *window = status_open(nullptr, nullptr, never_called, 0);
    DWORD took = GetTickCount() - start;
    EXPECT_EQ(nullptr, window);
    EXPECT_LT(took, 6000u);  // the first window of a new Wine prefix costs 5 s
    EXPECT_EQ(1, status_append(window, "READ: 1/2\n"));
    EXPECT_EQ(1, status_print(window, "%s", "x"));
    EXPECT_EQ(0, status_close(window));
}

TEST(ConfigNoDisplay, DialogAnswersMinusOneAndTheSettingsAreStillSaved)
{
    if (have_display())
        GTEST_SKIP() << "a display is there";
    store_env_reset();
    EXPECT_EQ(-1, config_dialog_run(nullptr, nullptr));
    EXPECT_TRUE(store_env_untouched());  // the dialog itself never writes
    EXPECT_EQ(-1, KestrelConfigDialog(nullptr, "", 0));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key));
    DWORD port = 0, size = sizeof port;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, "FtpCtrlPort", nullptr, nullptr, (BYTE *)&port, &size));
    EXPECT_EQ(21u, port);
    RegCloseKey(key);
    store_env_cleanup();
}

TEST(ConfigNoDisplay, AnOwnerThatIsNoWindowIsAFailureNotACancel)
{
    EXPECT_EQ(-1, config_dialog_run(nullptr, (KESTREL_WINDOW)(intptr_t)0x4321));
}

// --- The templates as the module carries them (DLGTEMPLATE, not the extended form).

struct Control {
    int id;
    std::wstring kind;  // the class, or #n for a predefined class atom
    std::wstring text;
    int x, y, cx, cy;
    DWORD style;
};

struct Dialog {
    DWORD style = 0;
    int cx = 0, cy = 0;
    std::wstring caption, face;
    int points = 0;
    WORD language = 0;
    std::vector<Control> controls;
};

const WORD *read_name(const WORD *p, std::wstring *out)
{
    out->clear();
    if (*p == 0xFFFF) {
        *out = L"#" + std::to_wstring(p[1]);
        return p + 2;
    }
    while (*p)
        out->push_back((wchar_t)*p++);
    return p + 1;
}

static WORD g_found_language;

BOOL CALLBACK note_language(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR)
{
    g_found_language = language;
    return FALSE;
}

Dialog load_dialog(int number)
{
    Dialog d;
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(number), (LPCSTR)RT_DIALOG);
    if (!info)
        return d;
    g_found_language = 0;
    EnumResourceLanguagesA(nullptr, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(number), note_language, 0);
    d.language = g_found_language;
    const BYTE *base = (const BYTE *)LockResource(LoadResource(nullptr, info));
    const DLGTEMPLATE *header = (const DLGTEMPLATE *)base;
    d.style = header->style;
    d.cx = header->cx;
    d.cy = header->cy;
    const WORD *p = (const WORD *)(header + 1);
    std::wstring ignored;
    p = read_name(p, &ignored);  // menu
    p = read_name(p, &ignored);  // class
    p = read_name(p, &d.caption);
    if (d.style & DS_SETFONT) {
        d.points = *p++;
        p = read_name(p, &d.face);
    }
    for (int i = 0; i < header->cdit; i++) {
        p = (const WORD *)(((uintptr_t)p + 3) & ~(uintptr_t)3);
        const DLGITEMTEMPLATE *item = (const DLGITEMTEMPLATE *)p;
        Control c;
        c.style = item->style;
        c.x = item->x;
        c.y = item->y;
        c.cx = item->cx;
        c.cy = item->cy;
        c.id = (short)item->id;
        p = (const WORD *)(item + 1);
        p = read_name(p, &c.kind);
        // A class written by name means the same as its atom.
        static const wchar_t *const kAtoms[] = {L"button", L"edit", L"static"};
        for (int atom = 0; atom < 3; atom++)
            if (_wcsicmp(c.kind.c_str(), kAtoms[atom]) == 0)
                c.kind = L"#" + std::to_wstring(0x80 + atom);
        p = read_name(p, &c.text);
        p += 1 + *p / 2;  // creation data
        d.controls.push_back(c);
    }
    return d;
}

// Control classes by atom, and the style marks that the layout promises.
const std::wstring kButton = L"#128", kEdit = L"#129", kStatic = L"#130";
enum Marks { NONE = 0, GROUP = 1, TAB = 2 };

struct Expected {
    int id;
    std::wstring kind;
    DWORD type;  // button kind, SS_ICON, or 0
    std::wstring text;
    int x, y, cx, cy;
    int marks;
};

void expect_controls(const Dialog &d, const std::vector<Expected> &expected)
{
    ASSERT_EQ(expected.size(), d.controls.size());
    for (size_t i = 0; i < expected.size(); i++) {
        const Expected &e = expected[i];
        const Control &c = d.controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(e.id));
        EXPECT_EQ(e.id, c.id);
        EXPECT_TRUE(e.kind == c.kind);
        EXPECT_TRUE(e.text == c.text);
        EXPECT_EQ(e.x, c.x);
        EXPECT_EQ(e.y, c.y);
        EXPECT_EQ(e.cx, c.cx);
        EXPECT_EQ(e.cy, c.cy);
        EXPECT_EQ((e.marks & GROUP) != 0, (c.style & WS_GROUP) != 0);
        EXPECT_EQ((e.marks & TAB) != 0, (c.style & WS_TABSTOP) != 0);
        if (e.kind == kButton || e.type == SS_ICON) {
            EXPECT_EQ(e.type, c.style & 0x1F);
        }
        if (e.kind == kEdit) {
            EXPECT_EQ((DWORD)(WS_BORDER | ES_AUTOHSCROLL), c.style & (WS_BORDER | ES_AUTOHSCROLL | ES_MULTILINE));
        }
    }
}

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

TEST(DialogTemplates, ConfigurationDialog)
{
    Dialog d = load_dialog(101);
    EXPECT_TRUE(d.caption == L"KESTREL Configuration");
    EXPECT_EQ(kJapanese, d.language);
    EXPECT_EQ(251, d.cx);
    EXPECT_EQ(229, d.cy);
    EXPECT_EQ(9, d.points);
    EXPECT_TRUE(d.face == L"ＭＳ Ｐゴシック");
    DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND;
    EXPECT_EQ(frame, d.style & (frame | WS_MINIMIZEBOX));
    const DWORD RADIO = BS_AUTORADIOBUTTON;
    expect_controls(d, {
        {1000, kEdit, 0, L"", 42, 20, 202, 12, TAB},
        {1001, kEdit, 0, L"", 109, 37, 49, 12, TAB},
        {1002, kButton, RADIO, L"normal(active) ftp", 17, 67, 54, 13, GROUP},
        {1003, kButton, RADIO, L"passive ftp", 79, 68, 54, 13, NONE},
        {1004, kButton, RADIO, L"auto select mode", 143, 67, 60, 13, NONE},
        {-1, kButton, BS_GROUPBOX, L"Data Connection", 7, 59, 237, 28, GROUP},
        {1, kButton, BS_DEFPUSHBUTTON, L"OK", 140, 210, 50, 14, TAB},
        {2, kButton, BS_PUSHBUTTON, L"Cancel", 195, 210, 50, 14, TAB},
        {-1, kStatic, 0, L"email address(for anonymous ftp)", 7, 7, 107, 11, GROUP},
        {-1, kStatic, 0, L"Default Ftp Control Port number", 7, 37, 96, 10, GROUP},
        {1005, kEdit, 0, L"", 45, 103, 199, 14, TAB},
        {-1, kStatic, 0, L"Download Folder", 7, 91, 93, 10, GROUP},
        {-1, kStatic, SS_ICON, L"#103", 5, 205, 18, 21, NONE},
        {-1, kButton, BS_GROUPBOX, L"ProxyServer", 5, 120, 242, 55, NONE},
        {1006, kButton, RADIO, L"NONE", 10, 130, 43, 12, NONE},
        {1007, kButton, RADIO, L"USER user@hostname", 10, 140, 76, 12, NONE},
        {1008, kButton, RADIO, L"OPEN hostname", 10, 150, 65, 12, NONE},
        {1009, kButton, RADIO, L"open hostname", 10, 160, 60, 12, NONE},
        {-1, kStatic, 0, L"Proxy Hostname:", 90, 130, 49, 12, GROUP},
        {-1, kStatic, 0, L"Proxy Port:", 90, 145, 35, 13, GROUP},
        {1010, kEdit, 0, L"", 140, 130, 96, 12, TAB},
        {1011, kEdit, 0, L"", 140, 145, 25, 12, TAB},
        {1012, kButton, BS_AUTOCHECKBOX, L"Auto Resume to Get File.", 10, 180, 110, 10, TAB},
    });
}

TEST(DialogTemplates, StatusDialog)
{
    Dialog d = load_dialog(102);
    EXPECT_TRUE(d.caption == L"KESTREL.DLL Status Dialog");
    EXPECT_EQ(kJapanese, d.language);
    EXPECT_EQ(223, d.cx);
    EXPECT_EQ(135, d.cy);
    EXPECT_EQ(9, d.points);
    EXPECT_TRUE(d.face == L"ＭＳ Ｐゴシック");
    DWORD frame = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER | DS_SETFOREGROUND;
    EXPECT_EQ(frame, d.style & (frame | WS_VISIBLE));  // shown by its thread, not before
    ASSERT_EQ(3u, d.controls.size());
    const Control &text = d.controls[0];
    EXPECT_EQ(1000, text.id);
    DWORD edit = WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL |
                 ES_AUTOHSCROLL | ES_WANTRETURN;
    EXPECT_EQ(edit, text.style & edit);
    EXPECT_EQ(7, text.x);
    EXPECT_EQ(6, text.y);
    EXPECT_EQ(209, text.cx);
    EXPECT_EQ(98, text.cy);
    const Control &cancel = d.controls[1];
    EXPECT_EQ(IDCANCEL, cancel.id);
    EXPECT_TRUE(cancel.text == L"ｷｬﾝｾﾙ");  // half-width katakana
    EXPECT_EQ((DWORD)WS_TABSTOP, cancel.style & WS_TABSTOP);
    EXPECT_EQ(90, cancel.x);
    EXPECT_EQ(114, cancel.y);
    const Control &icon = d.controls[2];
    EXPECT_EQ(-1, icon.id);
    EXPECT_TRUE(icon.text == L"#103");
    EXPECT_EQ(20, icon.cx);
}

TEST(DialogTemplates, IconIsOne32By32ImageIn16Colours)
{
    HRSRC info = FindResourceA(nullptr, MAKEINTRESOURCEA(103), (LPCSTR)RT_GROUP_ICON);
    ASSERT_NE(nullptr, info);
    const BYTE *group = (const BYTE *)LockResource(LoadResource(nullptr, info));
    const WORD *words = (const WORD *)group;
    EXPECT_EQ(1, words[1]);   // an icon
    ASSERT_EQ(1, words[2]);   // one image
    const BYTE *entry = group + 6;
    EXPECT_EQ(32, entry[0]);
    EXPECT_EQ(32, entry[1]);
    EXPECT_EQ(16, entry[2]);
    EXPECT_EQ(4, *(const WORD *)(entry + 6));  // bits per pixel
}

}  // namespace
