// kestrel-cli: runs one command of the Kestrel library from a shell.
//
//     kestrel-cli -l ftp://127.0.0.1:2121/pub/
//
// The words after the program name are joined with blanks behind a leading "-x " (so a
// command without an option extracts, and a later option such as -l replaces it) and
// handed to the library's command entry. The report goes to standard output; the exit
// status is the command's result. The program has no logic of its own: every message
// about the command comes from the library.
#include <cstdio>
#include <cstring>

#include "launcher/loader.h"

enum {
    COMMAND_SIZE = 2000,  // 1999 characters and NUL
    REPORT_SIZE = 10000,
};

static char g_command[COMMAND_SIZE];
static char g_report[REPORT_SIZE + 1];

// Appends text to the command; -1 when it does not fit whole.
static int append(size_t *length, const char *text)
{
    size_t n = strlen(text);
    if (n >= COMMAND_SIZE - *length)
        return -1;
    memcpy(g_command + *length, text, n + 1);
    *length += n;
    return 0;
}

static int fail(const char *message)
{
    printf("%s\n", message);
    fflush(stdout);
    return 1;
}

// Names and printed files come from the server: on a terminal their control bytes
// (ESC starting a sequence that clears the screen or retitles the window, a CR that
// hides what came before) are shown as '?', as ls does. Line ends and tabs stay; a file
// or a pipe gets the bytes unchanged.
static void show_controls(char *text, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)text[i];
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F)
            text[i] = '?';
    }
}

int main(int argc, char **argv)
{
    loader_binary_output();

    // A cut command would run something else than the user typed: refuse it whole.
    size_t length = 0;
    int fits = append(&length, "-x ") == 0;
    for (int i = 1; fits && i < argc; i++)
        fits = append(&length, argv[i]) == 0 && append(&length, " ") == 0;
    if (!fits)
        return fail("Command line too long: more than 1999 characters.");

    switch (loader_bind(argv[0])) {
    case LOADER_NO_LIBRARY:
        return fail("Can't Load Library");
    case LOADER_NO_VERSION:
        return fail("Can't Find KestrelGetVersion() API.");
    case LOADER_NO_ENTRY:
        return fail("Can't Find Kestrel() API.");
    case LOADER_OK:
        break;
    }
    int result = loader_run(g_command, g_report, REPORT_SIZE);
    g_report[REPORT_SIZE] = '\0';

    // The report area starts zero-filled and is written from the front, so everything
    // up to its last non-zero byte is the report: the bytes of a printed file keep
    // their NULs (only trailing ones cannot be told from the unused area).
    size_t used = REPORT_SIZE;
    while (used > 0 && g_report[used - 1] == '\0')
        used--;
    if (loader_output_is_terminal())
        show_controls(g_report, used);
    fwrite(g_report, 1, used, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return loader_exit_status(result);
}
