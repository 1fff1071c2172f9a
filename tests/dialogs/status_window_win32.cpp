// The status window on a real display: what it shows, and what its Cancel button reaches,
// pressed from a second thread while this one is busy.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "api/handle.h"
#include "api/kestrel.h"
#include "command/entry.h"
#include "session/session.h"
#include "status/status.h"
#include "tests/dialogs/dialog_driver_win32.h"
#include "tests/support/ftp_script_server.h"
#include "tests/support/store_env.h"

namespace {

const char kCaption[] = "KESTREL.DLL Status Dialog";
const char kGreeting[] = "KESTREL.DLL is Executing...\r\n";

std::atomic<int> g_cancel_calls{0};
std::atomic<intptr_t> g_cancel_argument{0};

int KESTREL_API count_cancel(intptr_t argument)
{
    g_cancel_argument = argument;
    g_cancel_calls++;
    return 1;
}

TEST(StatusWindow, ShowsTheGreetingAndEveryLineWithCrLf)
{
    StatusWindow *window = status_open(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(kGreeting, driver_text(dialog, 1000));

    struct Case {
        const char *text;
        const char *shown;
    } cases[] = {
        {"Opening URL ftp://127.0.0.1/pub/\n", "Opening URL ftp://127.0.0.1/pub/\r\n"},
        {"READ: 4096/10000\r\n", "READ: 4096/10000\r\n"},
        {"a\rb\n", "ab\r\n"},
        {"two\nlines\n", "two\r\nlines\r\n"},
        {"", ""},
    };
    std::string expected = kGreeting;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(1, status_append(window, c.text));
        expected += c.shown;
        EXPECT_EQ(expected, driver_text(dialog, 1000));
    }
    EXPECT_EQ(1, status_print(window, "WRITE: %d/%d\n", 12, 34));
    EXPECT_EQ(expected + "WRITE: 12/34\r\n", driver_text(dialog, 1000));

    EXPECT_EQ(0, status_close(window));
    EXPECT_FALSE(IsWindow(dialog));  // gone when status_close returns, not later
}

// Under the tests' western ANSI code page the Japanese Cancel label and font name reach
// the window intact, and nothing is cut or overlaps.
TEST(StatusWindow, LabelsShowAsWrittenAndFitTheirControls)
{
    StatusWindow *window = status_open(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    ASSERT_NE(nullptr, dialog);
    EXPECT_TRUE(IsWindowUnicode(dialog));
    EXPECT_TRUE(driver_text_wide(dialog, IDCANCEL) == L"\uff77\uff6c\uff9d\uff7e\uff99");  // ｷｬﾝｾﾙ
    std::wstring face = driver_font_face(dialog);
    EXPECT_TRUE(face == L"\uff2d\uff33 \uff30\u30b4\u30b7\u30c3\u30af" || face == L"IPAPGothic");
    EXPECT_EQ("", driver_layout_faults(dialog));
    EXPECT_EQ(0, status_close(window));
}

TEST(StatusWindow, TextsLongerThanTheBufferAreCutWhole)
{
    StatusWindow *window = status_open(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    // 990 line ends become 1980 bytes: only whole CR LF pairs within 999 bytes arrive.
    status_append(window, std::string(990, '\n').c_str());
    std::string added = driver_text(dialog, 1000).substr(sizeof kGreeting - 1);
    EXPECT_EQ(std::string(499 * 2, ' ').size(), added.size());
    for (size_t i = 0; i + 1 < added.size(); i += 2)
        ASSERT_EQ("\r\n", added.substr(i, 2)) << "at " << i;
    status_close(window);
}

TEST(StatusWindow, LongRunsKeepShowingTheLatestLines)
{
    StatusWindow *window = status_open(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    std::string filler(880, 'x');
    for (int i = 0; i < 200; i++)
        status_print(window, "line %03d %s\n", i, filler.c_str());
    std::string shown = driver_text(dialog, 1000);
    EXPECT_LT(shown.size(), 200u * 893u / 2);
    EXPECT_EQ(0u, shown.find("line "));  // the oldest lines went whole
    EXPECT_EQ("line 199 " + filler + "\r\n", shown.substr(shown.size() - filler.size() - 11));
    status_close(window);
}

TEST(StatusWindow, CancelButtonCallsTheCallbackEveryTimeAndStaysOpen)
{
    g_cancel_calls = 0;
    StatusWindow *window = status_open(nullptr, nullptr, count_cancel, 4242);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    driver_click(dialog, IDCANCEL);
    driver_click(dialog, IDCANCEL);
    EXPECT_EQ(2, g_cancel_calls.load());
    EXPECT_EQ(4242, g_cancel_argument.load());
    // The close box means Cancel too; the dialog manager posts that command.
    SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    for (int waited = 0; waited < 2000 && g_cancel_calls.load() < 3; waited += 10)
        Sleep(10);
    EXPECT_EQ(3, g_cancel_calls.load());
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(0, status_close(window));
}

TEST(StatusWindow, CancelEndsAStalledServerWaitWithinASecond)
{
    store_env_reset();
    FtpScriptServer server;
    server.set_auto_answer(true);
    server.expect("TYPE A").silence();
    ASSERT_TRUE(server.start());

    HARC archive = nullptr;
    StatusWindow *window = status_open(nullptr, nullptr, status_cancel_callback, (intptr_t)&archive);
    ASSERT_NE(nullptr, window);
    std::string url = "ftp://127.0.0.1:" + std::to_string(server.port()) + "/";
    archive = KestrelOpenArchive(nullptr, url.c_str(), 0);
    ASSERT_NE(nullptr, archive);

    std::chrono::steady_clock::time_point pressed;
    size_t sent_before = server.commands().size();
    std::thread user([&] {
        HWND dialog = FindWindowA(nullptr, kCaption);
        server.wait_for_commands(sent_before + 1, 5000);
        Sleep(300);  // well inside the wait for the reply
        pressed = std::chrono::steady_clock::now();
        driver_click(dialog, IDCANCEL);
    });
    int result = session_set_type(handle_session(archive), "A");
    auto ended = std::chrono::steady_clock::now();
    user.join();

    EXPECT_EQ(-1, result);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ended - pressed).count(), 1500);
    EXPECT_EQ("TYPE A", server.commands().back());
    EXPECT_TRUE(IsWindow(FindWindowA(nullptr, kCaption)));  // only status_close closes it
    KestrelCloseArchive(archive);
    archive = nullptr;
    status_close(window);
    server.stop();
    store_env_cleanup();
}

// A server that accepts and never greets: Cancel in the window that the command entry
// opened ends the open, and the command reports its failed open with its usual code.
TEST(StatusWindow, CancelWhileOpeningEndsTheCommand)
{
    store_env_reset();
    FtpScriptServer server;
    server.greeting().silence();
    ASSERT_TRUE(server.start());
    std::string command = "-x ftp://127.0.0.1:" + std::to_string(server.port()) + "/f.bin";

    std::chrono::steady_clock::time_point pressed;
    std::atomic<bool> clicked{false};
    std::thread user([&] {
        HWND dialog = driver_wait_window(kCaption);
        server.wait_for_connection(5000);
        Sleep(300);  // well inside the wait for the greeting
        pressed = std::chrono::steady_clock::now();
        driver_click(dialog, IDCANCEL);
        clicked = true;
    });
    static char report[10000];
    int result = Kestrel(nullptr, command.c_str(), report, (int)sizeof report);
    auto ended = std::chrono::steady_clock::now();
    user.join();

    ASSERT_TRUE(clicked.load());
    EXPECT_EQ(32809, result);
    EXPECT_NE(std::string::npos, std::string(report).find("Error: Can't KestrelOpenArchive(")) << report;
    long long after = std::chrono::duration_cast<std::chrono::milliseconds>(ended - pressed).count();
    EXPECT_LT(after, 1500);
    printf("[  cancel  ] the open ended %lld ms after Cancel\n", after);
    EXPECT_TRUE(server.commands().empty());
    EXPECT_FALSE(IsWindow(FindWindowA(nullptr, kCaption)));
    server.stop();
    store_env_cleanup();
}

TEST(StatusWindow, CancelWithoutAHandleWarnsAndDoesNothingElse)
{
    struct Case {
        bool pointer;
        const char *warning;
    } cases[] = {
        {true, "(cancelcallback)Warning: HARC is NULL."},
        {false, "(cancelcallback)Warning: callback parameter(HARC*) is NULL."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.warning);
        HARC archive = nullptr;
        StatusWindow *window =
            status_open(nullptr, nullptr, status_cancel_callback, c.pointer ? (intptr_t)&archive : 0);
        ASSERT_NE(nullptr, window);
        HWND dialog = FindWindowA(nullptr, kCaption);
        // Posted: the box waits for its OK on the window's thread.
        PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
        HWND box = driver_wait_window("KESTREL.DLL");
        ASSERT_NE(nullptr, box);
        EXPECT_NE(std::string::npos, driver_child_texts(box).find(c.warning)) << driver_child_texts(box);
        EXPECT_EQ(nullptr, archive);
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(driver_wait_gone("KESTREL.DLL"));
        EXPECT_TRUE(IsWindowVisible(dialog));
        EXPECT_EQ(0, status_close(window));
    }
}

TEST(StatusWindow, ClosingWhileTheWarningIsUpDoesNotHang)
{
    HARC archive = nullptr;
    StatusWindow *window = status_open(nullptr, nullptr, status_cancel_callback, (intptr_t)&archive);
    ASSERT_NE(nullptr, window);
    HWND dialog = FindWindowA(nullptr, kCaption);
    PostMessageA(GetDlgItem(dialog, IDCANCEL), BM_CLICK, 0, 0);
    ASSERT_NE(nullptr, driver_wait_window("KESTREL.DLL"));
    EXPECT_EQ(0, status_close(window));
    EXPECT_FALSE(IsWindow(dialog));
}

TEST(StatusWindowScreenshot, Taken)
{
    if (!driver_taking_screenshots())
        GTEST_SKIP() << "only when taking screenshots";
    StatusWindow *window = status_open(nullptr, nullptr, nullptr, 0);
    ASSERT_NE(nullptr, window);
    status_append(window, "Opening URL ftp://127.0.0.1:2121/pub/\n");
    status_append(window, "Reading readme.txt\n");
    for (int done = 4096; done < 20000; done += 4096)
        status_print(window, "READ: %d/%d\n", done, 18342);
    status_append(window, "READ: 18342/18342\n");
    EXPECT_TRUE(driver_screenshot("status-window", kCaption));
    status_close(window);
}

}  // namespace
