// Drives the terminal UI from inside a real terminal; run-tty-tests starts it in tmux,
// presses keys and reads the screen. What the probe prints on standard output is the
// outcome the driver checks, so the UI itself must never print there.
//
//   tty_probe status   panel with progress; c and then Esc reach the cancel callback
//   tty_probe warning  panel whose Cancel warns (no handle yet, then no handle variable)
//   tty_probe form     KestrelConfigDialog, then the settings it left
//   tty_probe notty    every UI entry where none can be shown
//   tty_probe open-silent           Kestrel -x against a server that never greets
//   tty_probe download-stall FOLDER  Kestrel -x of a download that stalls after 4000 bytes
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "api/kestrel.h"
#include "command/entry.h"
#include "config/config_dialog.h"
#include "config/settings.h"
#include "status/status.h"
#include "tests/support/ftp_script_server.h"

extern "C" int KESTREL_API KestrelConfigDialog(KESTREL_WINDOW window, const char *option, int mode);

typedef std::chrono::steady_clock Clock;

static std::atomic<int> g_presses(0);
static std::atomic<intptr_t> g_pressed_argument(0);
static HARC g_no_handle = nullptr;

static int KESTREL_API record_cancel(intptr_t argument)
{
    g_pressed_argument.store(argument);
    g_presses.fetch_add(1);
    return 1;
}

// First press: a handle variable that still holds no handle; second: no variable at all.
static int KESTREL_API warn_cancel(intptr_t argument)
{
    int n = g_presses.fetch_add(1) + 1;
    if (n == 1)
        status_cancel_callback(argument);
    else if (n == 2)
        status_cancel_callback(0);
    return 1;
}

static int wait_presses(int count)
{
    Clock::time_point limit = Clock::now() + std::chrono::seconds(30);
    while (g_presses.load() < count) {
        if (Clock::now() > limit)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

static long ms_since(Clock::time_point start)
{
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The terminal's modes before the UI ran, to compare with what it left.
struct Modes {
    int ok;
    struct termios t;
};

static Modes read_modes(void)
{
    Modes m;
    memset(&m, 0, sizeof m);
    int fd = open("/dev/tty", O_RDONLY | O_NOCTTY);
    if (fd >= 0) {
        m.ok = tcgetattr(fd, &m.t) == 0;
        close(fd);
    }
    return m;
}

static void print_modes(const Modes &before)
{
    Modes after = read_modes();
    int same = before.ok && after.ok && before.t.c_iflag == after.t.c_iflag &&
               before.t.c_oflag == after.t.c_oflag && before.t.c_cflag == after.t.c_cflag &&
               before.t.c_lflag == after.t.c_lflag && memcmp(before.t.c_cc, after.t.c_cc, sizeof before.t.c_cc) == 0;
    printf("modes=%s\n", same ? "restored" : "changed");
}

static int run_status(void)
{
    Modes before = read_modes();
    StatusWindow *w = status_open(nullptr, nullptr, record_cancel, 4242);
    if (w == nullptr) {
        printf("status_open=null\n");
        return 1;
    }
    status_print(w, "Opening %s\n", "ftp://127.0.0.1:2121/pub/");
    status_append(w, "READ: 1000/4000\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    status_append(w, "READ: 2000/4000\r\n");
    if (wait_presses(1) != 0) {
        printf("no press\n");
        status_close(w);
        return 1;
    }
    printf("press 1 argument=%ld\n", (long)g_pressed_argument.load());

    // Far more than any buffer of the panel, in two-byte characters, and a server's
    // attempt to clear the screen and retitle the window.
    std::string long_line = "Long:";
    for (int i = 0; i < 3000; i++)
        long_line += "\xc3\xa9";
    long_line += "\n";
    status_append(w, long_line.c_str());
    status_append(w, "Bad: \x1b[2J\x1b]0;owned\x07 end\n");
    status_append(w, "WRITE: 5000000000/10000000000\n");
    if (wait_presses(2) != 0) {
        printf("no second press\n");
        status_close(w);
        return 1;
    }
    printf("press 2 argument=%ld\n", (long)g_pressed_argument.load());
    Clock::time_point start = Clock::now();
    printf("status_close=%d\n", status_close(w));
    printf("close_prompt=%s\n", ms_since(start) < 1000 ? "yes" : "no");
    print_modes(before);
    return 0;
}

static int run_warning(void)
{
    Modes before = read_modes();
    StatusWindow *w = status_open(nullptr, nullptr, warn_cancel, (intptr_t)&g_no_handle);
    if (w == nullptr) {
        printf("status_open=null\n");
        return 1;
    }
    // A second panel would draw over the first.
    printf("second_open=%s\n", status_open(nullptr, nullptr, nullptr, 0) == nullptr ? "null" : "opened");
    status_append(w, "Connecting to 127.0.0.1\n");
    int ok = wait_presses(3) == 0;
    printf("presses=%d\n", g_presses.load());
    printf("status_close=%d\n", status_close(w));
    print_modes(before);
    return ok ? 0 : 1;
}

static void print_settings(void)
{
    printf("EMailAddress=%s\n", g_settings.EMailAddress);
    printf("DefaultDir=%s\n", g_settings.DefaultDir);
    printf("FtpCtrlPort=%d\n", (int)g_settings.FtpCtrlPort);
    printf("PassiveMode=%d\n", (int)g_settings.PassiveMode);
    printf("ProxyType=%d\n", (int)g_settings.ProxyType);
    printf("ProxyHost=%s\n", g_settings.ProxyHost);
    printf("ProxyPort=%d\n", (int)g_settings.ProxyPort);
    printf("ResumeGetMode=%d\n", (int)g_settings.ResumeGetMode);
}

static int run_form(void)
{
    Modes before = read_modes();
    int result = KestrelConfigDialog(nullptr, "", 0);
    printf("result=%d\n", result);
    print_settings();
    print_modes(before);
    return 0;
}

static int run_notty(void)
{
    Clock::time_point start = Clock::now();
    StatusWindow *w = status_open(nullptr, nullptr, record_cancel, 1);
    printf("status_open=%s\n", w == nullptr ? "null" : "opened");
    status_close(w);
    printf("config_dialog_run=%d\n", config_dialog_run(nullptr, nullptr));
    printf("KestrelConfigDialog=%d\n", KestrelConfigDialog(nullptr, "", 0));
    printf("fast=%s\n", ms_since(start) < 3000 ? "yes" : "no");
    return 0;
}

// Runs one command through the entry, with its panel, against a server that stops; the
// driver cancels it (a key or a signal). Prints the result, the commands the server got,
// whether the report holds the failure line, whether the command waited for the cancel
// and whether the terminal came back unchanged.
static int run_stalled_command(FtpScriptServer &server, const std::string &arguments,
                               const char *failure_line)
{
    Modes before = read_modes();
    server.set_auto_answer(true);
    if (!server.start()) {
        printf("server=failed\n");
        return 1;
    }
    std::string command = "-x ftp://u:p@127.0.0.1:" + std::to_string(server.port()) + "/" + arguments;
    static char report[10000];
    Clock::time_point start = Clock::now();
    int result = Kestrel(nullptr, command.c_str(), report, (int)sizeof report);
    long took = ms_since(start);
    server.stop();
    std::string commands;
    for (const std::string &line : server.commands())
        commands += (commands.empty() ? "" : ",") + line;
    printf("result=%d\n", result);
    printf("commands=%s\n", commands.c_str());
    printf("failure_reported=%s\n", strstr(report, failure_line) ? "yes" : "no");
    // The driver waits half a second before it cancels: a command that ended sooner failed
    // for another reason.
    printf("waited=%s\n", took > 400 ? "yes" : "no");
    print_modes(before);
    return 0;
}

static int run_open_silent(void)
{
    FtpScriptServer server;
    server.greeting().silence();
    return run_stalled_command(server, "f.bin", "Error: Can't KestrelOpenArchive(");
}

static int run_download_stall(const char *folder)
{
    std::string bytes(10000, 'k');
    FtpScriptServer server;
    server.expect("RETR", {"150 Opening (10000 bytes)"}).send_data(bytes).stop_data_after(4000, false);
    int status = run_stalled_command(server, std::string(" ") + folder + "/ f.bin", "Error: Can't KestrelExtract(");
    struct stat kept;
    std::string path = std::string(folder) + "/f.bin";
    printf("partial=%lld\n", stat(path.c_str(), &kept) == 0 ? (long long)kept.st_size : -1LL);
    return status;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "status") == 0)
        return run_status();
    if (strcmp(mode, "warning") == 0)
        return run_warning();
    if (strcmp(mode, "form") == 0)
        return run_form();
    if (strcmp(mode, "notty") == 0)
        return run_notty();
    if (strcmp(mode, "open-silent") == 0)
        return run_open_silent();
    if (strcmp(mode, "download-stall") == 0 && argc > 2)
        return run_download_stall(argv[2]);
    fprintf(stderr, "usage: tty_probe status|warning|form|notty\n");
    return 2;
}
