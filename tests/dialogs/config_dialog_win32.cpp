// The configuration dialog on a real display: a second thread works it like a user while
// KestrelConfigDialog blocks this one; the registry shows what was saved.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <thread>

#include "api/kestrel.h"
#include "config/config_dialog.h"
#include "config/settings.h"
#include "tests/dialogs/dialog_driver_win32.h"
#include "tests/support/store_env.h"
#include "util/text.h"

// Exported by the library; not yet in its public header.
extern "C" int KESTREL_API KestrelConfigDialog(KESTREL_WINDOW window, const char *option, int mode);

namespace {

const char kCaption[] = "KESTREL Configuration";

// What the dialog shows: the six fields, then the check state of 1002..1009, 1012 and 1016.
struct Shown {
    std::string email, port, folder, proxy_host, proxy_port, charset;
    std::string checks;  // "x" or "-" for 1002 1003 1004 | 1006 1007 1008 1009 | 1012 1016
    bool found = false;
};

Shown read_dialog(HWND dialog)
{
    Shown shown;
    shown.found = true;
    shown.email = driver_text(dialog, 1000);
    shown.port = driver_text(dialog, 1001);
    shown.folder = driver_text(dialog, 1005);
    shown.proxy_host = driver_text(dialog, 1010);
    shown.proxy_port = driver_text(dialog, 1011);
    shown.charset = driver_text(dialog, 1017);
    for (int id : {1002, 1003, 1004, 0, 1006, 1007, 1008, 1009, 0, 1012, 1016})
        shown.checks += id ? (IsDlgButtonChecked(dialog, id) == BST_CHECKED ? "x" : "-") : "|";
    return shown;
}

// Runs the export on this thread while `drive` works the dialog from another. Whatever
// the driver does, the dialog is closed in the end, so a failing test cannot hang.
int run_dialog(Shown *before, Shown *after, const std::function<void(HWND)> &drive)
{
    std::thread driver([&] {
        HWND dialog = driver_wait_window(kCaption);
        if (!dialog)
            return;
        if (before)
            *before = read_dialog(dialog);
        drive(dialog);
        if (after)
            *after = read_dialog(dialog);
    });
    int result = KestrelConfigDialog(nullptr, "", 0);
    driver.join();
    return result;
}

void end_with(HWND dialog, const std::string &how)
{
    if (how == "OK button")
        driver_click(dialog, IDOK);
    else if (how == "Cancel button")
        driver_click(dialog, IDCANCEL);
    else if (how == "Enter")
        driver_key(dialog, VK_RETURN);
    else if (how == "Escape")
        driver_key(dialog, VK_ESCAPE);
    else if (how == "close box")
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    if (!driver_wait_gone(kCaption, 3000))
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);  // keep a failing test from hanging
}

// A fresh process would see this after KestrelConfigDialog: the registry's values.
std::string stored_text(const char *name)
{
    HKEY key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key) != ERROR_SUCCESS)
        return "<no key>";
    char text[1100] = "";
    DWORD size = sizeof text - 1, type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, (BYTE *)text, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : "<missing>";
}

long stored_number(const char *name)
{
    HKEY key;
    if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key) != ERROR_SUCCESS)
        return -999;
    DWORD number = 0, size = sizeof number, type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, (BYTE *)&number, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD ? (long)(int32_t)number : -999;
}

void store_number(const char *name, DWORD number)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyA(HKEY_CURRENT_USER, "Software\\VizivazuVOD\\KESTREL", &key));
    RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&number, sizeof number);
    RegCloseKey(key);
}

// The user's edits of the OK and Cancel cases.
void edit_everything(HWND dialog)
{
    SetDlgItemTextA(dialog, 1000, "kestrel@localhost");
    SetDlgItemTextA(dialog, 1001, "2121");
    SetDlgItemTextA(dialog, 1005, "C:\\Downloads\\ftp");
    SetDlgItemTextA(dialog, 1010, "127.0.0.5");
    SetDlgItemTextA(dialog, 1011, "8021");
    driver_click(dialog, 1003);  // passive ftp
    driver_click(dialog, 1008);  // OPEN hostname
    driver_click(dialog, 1012);  // auto resume
    driver_click(dialog, 1016);  // MLSD listings off
    SetDlgItemTextA(dialog, 1017, "Shift_JIS");
}

class ConfigDialog : public ::testing::Test {
protected:
    void SetUp() override { store_env_reset(); }
    void TearDown() override { store_env_cleanup(); }
};

TEST_F(ConfigDialog, OpensWithTheDefaultsWhenNothingIsStored)
{
    Shown before;
    int result = run_dialog(&before, nullptr, [](HWND dialog) { end_with(dialog, "Cancel button"); });
    ASSERT_TRUE(before.found);
    EXPECT_EQ(0, result);
    EXPECT_EQ("", before.email);
    EXPECT_EQ("21", before.port);
    EXPECT_EQ("", before.folder);
    EXPECT_EQ("", before.proxy_host);
    EXPECT_EQ("21", before.proxy_port);
    EXPECT_EQ("", before.charset);
    EXPECT_EQ("--x|x---|-x", before.checks);  // auto select mode, NONE, resume clear, MLSD on
    // Cancel still saves what was loaded: the defaults, under a key that now exists.
    EXPECT_EQ(21, stored_number("FtpCtrlPort"));
    EXPECT_EQ(2, stored_number("PassiveMode"));
    EXPECT_EQ("", stored_text("EMailAddress"));
}

TEST_F(ConfigDialog, EveryWayToEndTheDialogDecidesWhatIsSaved)
{
    struct Case {
        const char *how;
        int result;
    } cases[] = {
        {"OK button", 1}, {"Enter", 1}, {"Cancel button", 0}, {"Escape", 0}, {"close box", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.how);
        store_env_reset();
        Shown before, edited;
        int result = run_dialog(&before, nullptr, [&](HWND dialog) {
            edit_everything(dialog);
            edited = read_dialog(dialog);
            end_with(dialog, c.how);
        });
        ASSERT_TRUE(before.found);
        // Each click moved the mark only inside its own group.
        EXPECT_EQ("-x-|--x-|x-", edited.checks);
        EXPECT_EQ(c.result, result);
        if (c.result == 1) {
            EXPECT_STREQ("kestrel@localhost", g_settings.EMailAddress);
            EXPECT_EQ("kestrel@localhost", stored_text("EMailAddress"));
            EXPECT_EQ("C:\\Downloads\\ftp", stored_text("DefaultDir"));
            EXPECT_EQ(2121, stored_number("FtpCtrlPort"));
            EXPECT_EQ(1, stored_number("PassiveMode"));
            EXPECT_EQ(2, stored_number("ProxyType"));
            EXPECT_EQ("127.0.0.5", stored_text("ProxyHost"));
            EXPECT_EQ(8021, stored_number("ProxyPort"));
            EXPECT_EQ(1, stored_number("ResumeGetMode"));
            EXPECT_EQ(0, stored_number("UseMLSD"));
            EXPECT_EQ("Shift_JIS", stored_text("ServerCharset"));
        } else {
            EXPECT_STREQ("", g_settings.EMailAddress);
            EXPECT_EQ(21, g_settings.FtpCtrlPort);
            EXPECT_EQ("", stored_text("EMailAddress"));
            EXPECT_EQ("", stored_text("DefaultDir"));
            EXPECT_EQ(21, stored_number("FtpCtrlPort"));
            EXPECT_EQ(2, stored_number("PassiveMode"));
            EXPECT_EQ(0, stored_number("ProxyType"));
            EXPECT_EQ("", stored_text("ProxyHost"));
            EXPECT_EQ(21, stored_number("ProxyPort"));
            EXPECT_EQ(0, stored_number("ResumeGetMode"));
            EXPECT_EQ(1, stored_number("UseMLSD"));
            EXPECT_EQ("", stored_text("ServerCharset"));
        }
    }
}

TEST_F(ConfigDialog, ShowsStoredValuesAndKeepsModesItCannotShow)
{
    store_number("PassiveMode", 5);
    store_number("ProxyType", 3);
    store_number("FtpCtrlPort", 2100);
    store_number("ResumeGetMode", 7);
    Shown before;
    int result = run_dialog(&before, nullptr, [](HWND dialog) { end_with(dialog, "OK button"); });
    ASSERT_TRUE(before.found);
    EXPECT_EQ(1, result);
    EXPECT_EQ("2100", before.port);
    EXPECT_EQ("---|---x|xx", before.checks);
    EXPECT_EQ(5, stored_number("PassiveMode"));  // no button stood for it: kept
    EXPECT_EQ(3, stored_number("ProxyType"));
    EXPECT_EQ(1, stored_number("ResumeGetMode"));  // the box says checked, no more
}

TEST_F(ConfigDialog, PortFieldsThatAreNoNumbersSaveZero)
{
    struct Case {
        const char *typed;
        long stored;
    } cases[] = {{"abc", 0}, {"", 0}, {"-5", -5}, {"65536", 65536}, {" 990", 990}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        store_env_reset();
        Shown before;
        int result = run_dialog(&before, nullptr, [&](HWND dialog) {
            SetDlgItemTextA(dialog, 1001, c.typed);
            SetDlgItemTextA(dialog, 1011, c.typed);
            end_with(dialog, "OK button");
        });
        EXPECT_EQ(1, result);
        EXPECT_EQ(c.stored, stored_number("FtpCtrlPort"));
        EXPECT_EQ(c.stored, stored_number("ProxyPort"));
    }
}

// A character set the system does not know is refused at OK: a box says why, the dialog
// stays with what was typed, and a known set is then taken.
TEST_F(ConfigDialog, UnknownServerCharacterSetIsRefusedWithItsReason)
{
    std::string message = "<no box>", kept;
    bool stayed = false;
    int result = run_dialog(nullptr, nullptr, [&](HWND dialog) {
        SetDlgItemTextA(dialog, 1017, "no-such-set");
        // Posted: the box waits for its OK on the dialog's thread.
        PostMessageA(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
        // The box has the dialog's caption: the other window of that name.
        HWND box = nullptr;
        for (int i = 0; i < 500 && !box; i++) {
            Sleep(10);
            for (HWND w = FindWindowExA(nullptr, nullptr, nullptr, kCaption); w && !box;
                 w = FindWindowExA(nullptr, w, nullptr, kCaption))
                if (w != dialog && IsWindowVisible(w))
                    box = w;
        }
        if (box) {
            message = driver_child_texts(box);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 500 && IsWindow(box); i++)
                Sleep(10);
        }
        stayed = IsWindowVisible(dialog) != 0;
        kept = driver_text(dialog, 1017);
        SetDlgItemTextA(dialog, 1017, "EUC-JP");
        end_with(dialog, "OK button");
    });
    EXPECT_NE(std::string::npos, message.find("no character set named no-such-set")) << message;
    EXPECT_TRUE(stayed);
    EXPECT_EQ("no-such-set", kept);
    EXPECT_EQ(1, result);
    EXPECT_EQ("EUC-JP", stored_text("ServerCharset"));
}

// The tests run under a western ANSI code page (tests/dialogs/run-with-display): a dialog
// that went through it would hold "?????" for the Japanese font name.
TEST_F(ConfigDialog, LabelsShowAsWrittenAndFitTheirControls)
{
    std::wstring face, ok_label;
    std::string faults = "<no dialog>";
    bool unicode = false;
    int result = run_dialog(nullptr, nullptr, [&](HWND dialog) {
        unicode = IsWindowUnicode(dialog) != 0;
        face = driver_font_face(dialog);
        ok_label = driver_text_wide(dialog, IDOK);
        faults = driver_layout_faults(dialog);
        end_with(dialog, "Cancel button");
    });
    EXPECT_EQ(0, result);
    EXPECT_TRUE(unicode);
    EXPECT_TRUE(face == L"\uff2d\uff33 \uff30\u30b4\u30b7\u30c3\u30af" || face == L"IPAPGothic")
        << "font face of " << face.size() << " characters";
    EXPECT_TRUE(ok_label == L"OK");
    EXPECT_EQ("", faults);
}

TEST(ConfigDialogScreenshot, Taken)
{
    if (!driver_taking_screenshots())
        GTEST_SKIP() << "only when taking screenshots";
    settings_load();
    text_copy(g_settings.EMailAddress, sizeof g_settings.EMailAddress, "kestrel@localhost");
    text_copy(g_settings.DefaultDir, sizeof g_settings.DefaultDir, "C:\\Downloads");
    text_copy(g_settings.ProxyHost, sizeof g_settings.ProxyHost, "127.0.0.1");
    g_settings.ProxyPort = 8021;
    g_settings.ResumeGetMode = 1;
    bool taken = false;
    std::thread driver([&] {
        HWND dialog = driver_wait_window(kCaption);
        taken = dialog && driver_screenshot("config-dialog", kCaption);
        if (dialog)
            PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_EQ(0, config_dialog_run(nullptr, nullptr));
    driver.join();
    EXPECT_TRUE(taken);
}

}  // namespace
