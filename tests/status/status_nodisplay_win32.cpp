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

// --- The templates as the module carries them: UTF-16 texts, whatever the code page.

std::wstring load_template(int number)
{
    HRSRC info = FindResourceExA(nullptr, (LPCSTR)RT_DIALOG, MAKEINTRESOURCEA(number),
                                 MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (!info)
        return L"";
    const wchar_t *words = (const wchar_t *)LockResource(LoadResource(nullptr, info));
    return std::wstring(words, SizeofResource(nullptr, info) / sizeof(wchar_t));
}

TEST(DialogTemplates, CarryTheirTextsInJapaneseResources)
{
    struct Case {
        int number;
        std::vector<std::wstring> texts;
    } cases[] = {
        {101, {L"KESTREL Configuration", L"ＭＳ Ｐゴシック", L"normal(active) ftp", L"passive ftp",
               L"auto select mode", L"Data Connection", L"OK", L"Cancel",
               L"email address(for anonymous ftp)", L"Default Ftp Control Port number",
               L"Download Folder", L"ProxyServer", L"NONE", L"USER user@hostname", L"OPEN hostname",
               L"open hostname", L"Proxy Hostname:", L"Proxy Port:", L"Auto Resume to Get File.",
               L"Use MLSD listings", L"Server character set (empty: automatic)",
               L"Connections (1-8):"}},
        {102, {L"KESTREL.DLL Status Dialog", L"ＭＳ Ｐゴシック", L"ｷｬﾝｾﾙ"}},
    };
    for (const Case &c : cases) {
        std::wstring dialog = load_template(c.number);
        ASSERT_FALSE(dialog.empty()) << c.number;
        for (const std::wstring &text : c.texts)
            EXPECT_NE(std::wstring::npos, dialog.find(text + L'\0')) << c.number;
    }
    // The status window is shown by its thread, not when it is made.
    std::wstring status_template = load_template(102);
    const DLGTEMPLATE *status = (const DLGTEMPLATE *)status_template.data();
    EXPECT_EQ(0u, status->style & WS_VISIBLE);
    EXPECT_EQ((DWORD)WS_MINIMIZEBOX, status->style & WS_MINIMIZEBOX);
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
