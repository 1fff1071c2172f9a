// The command entry. The whole line is split and checked first, so a command-line
// error never opens a window or a connection; only then the status window, the handle
// and one action, and on the way out everything is closed in reverse order.
#include "command/entry.h"

#include <cstring>

#include "api/open_and_stamps.h"
#include "command/actions.h"
#include "command/arguments.h"
#include "command/output.h"
#include "platform/module.h"
#include "status/status.h"
#include "util/text.h"
#include "util/url.h"

// Everything the parser learns from one command line. The texts are filled only with
// whole arguments: one that does not fit is a command-line error, never cut.
struct ParsedCommand {
    char command[COMMAND_TEXT_SIZE];
    int quiet;
    int no_window;
    uint32_t open_mode;
    int data_mode;                   // -1: not given
    int recurse;                     // -r
    char url[COMMAND_TEXT_SIZE];     // full form after the file-name split
    char display_url[COMMAND_TEXT_SIZE];
    char file_name[COMMAND_TEXT_SIZE];
    char *split_file[2];             // the file argument taken from the URL, and null
    int file_count;
    char *const *files;
};

// How a command reaches its action: after a handle is open, on the URL alone (no
// connection), or before the command line's URL is even looked at.
enum CommandReach { REACH_HANDLE, REACH_URL_ONLY, REACH_NO_URL };

// One row per command letter or long option. A letter given as a long option ("--x")
// names the same row.
struct CommandRow {
    const char *name;
    int (*run)(const ActionCall &call);
    int open_failure;    // the result when the handle cannot be opened: never 0
    int file_from_url;   // without file arguments the file is the URL path's last part
    CommandReach reach;
    int bytes_only;      // the report holds the files' bytes, no Opening/Closing lines
};

static const CommandRow COMMANDS[] = {
    {"a", command_add, COMMAND_WRITE_FAILED, 1, REACH_HANDLE, 0},
    {"x", command_extract, COMMAND_READ_FAILED, 1, REACH_HANDLE, 0},
    {"l", command_list, COMMAND_READ_FAILED, 0, REACH_HANDLE, 0},
    {"p", command_print, COMMAND_READ_FAILED, 1, REACH_HANDLE, 1},
    {"t", command_check, COMMAND_LINE_ERROR, 0, REACH_URL_ONLY, 0},
    {"mkdir", command_make_dirs, COMMAND_WRITE_FAILED, 0, REACH_HANDLE, 0},
    {"rmdir", command_remove_dirs, COMMAND_WRITE_FAILED, 0, REACH_HANDLE, 0},
    {"move", command_move, COMMAND_WRITE_FAILED, 0, REACH_HANDLE, 0},
    {"delete", command_delete, COMMAND_WRITE_FAILED, 0, REACH_HANDLE, 0},
    {"config", command_config, COMMAND_LINE_ERROR, 0, REACH_NO_URL, 0},
};

// The row of the parsed command, or null for an unknown long option.
static const CommandRow *find_command(const ParsedCommand *parsed)
{
    for (const CommandRow &row : COMMANDS)
        if (strcmp(parsed->command, row.name) == 0)
            return &row;
    return nullptr;
}

void print_usage(OutputBuffer *output)
{
    output_append_text(
        "Usage: kestrel -[a|x|t|p|l] ftp://[user[:pass]@]host[:port]/path [files...]\n"
        "       kestrel --mkdir|--rmdir|--delete|--move|--config ftp://[user:pass@]host[:port]/path [files...]\n"
        "                     ftp://[user[:pass]@]host[:port]/path [files...]\n"
        "       kestrel --config\n",
        output);
}

static int line_error(OutputBuffer *output, const char *message)
{
    output_append_text(message, output);
    print_usage(output);
    return COMMAND_LINE_ERROR;
}

// The option loop. Returns the index of the first argument after the options, or -1
// after writing a command-line error.
static int parse_options(char *const *args, int count, ParsedCommand *parsed,
                         OutputBuffer *output)
{
    int i = 0;
    for (; i < count && args[i][0] == '-'; i++) {
        const char *arg = args[i];
        if (strcmp(arg, "--") == 0)
            break;  // taken as the URL argument
        if (arg[1] == '-') {
            const char *name = arg + 2;
            if (strcmp(name, "long-option-test") == 0) {
                output_append_text("longoptiontest...ok!\n", output);
            } else if (strcmp(name, "dataconnectionmode") == 0 && i + 1 < count) {
                parsed->data_mode = text_to_int(args[++i]);
            } else if (text_copy(parsed->command, sizeof parsed->command, name) != 0) {
                line_error(output, "Error: Command longer than 999 characters.\n");
                return -1;
            }
            continue;
        }
        for (const char *c = arg + 1; *c; c++) {
            switch (*c) {
            case 'a':
            case 'x':
            case 'l':
            case 't':
            case 'p':
                parsed->command[0] = *c;
                parsed->command[1] = '\0';
                break;
            case 'r':
                parsed->recurse = 1;
                break;
            case 'i':
                parsed->no_window = 1;
                break;
            case 'q':
                parsed->quiet = 1;
                break;
            case '+':
                parsed->open_mode |= 1;
                break;
            default:
                print_usage(output);
                output_printf(output, "Error: Illegal command [%c]\n", *c);
                return -1;
            }
        }
    }
    return i;
}

// The URL and the file arguments. 0, or the result code after writing the error.
static int parse_target(char *const *args, int count, const CommandRow *row, ParsedCommand *parsed,
                        OutputBuffer *output)
{
    if (count == 0) {
        output_append_text("Error: Can't find URL.\n", output);
        print_usage(output);
        return COMMAND_LINE_ERROR;
    }
    if (text_copy(parsed->url, sizeof parsed->url, args[0]) != 0)
        return line_error(output, "Error: URL longer than 999 characters.\n");
    if (!is_valid_url(parsed->url)) {
        compose_display_url(parsed->display_url, sizeof parsed->display_url, parsed->url);
        output_printf(output, "Error: Illegal URL syntax [%s].\n", parsed->display_url);
        print_usage(output);
        return COMMAND_LINE_ERROR;
    }
    parsed->files = args + 1;
    parsed->file_count = count - 1;
    for (int i = 0; i < parsed->file_count; i++) {
        if (strlen(parsed->files[i]) >= COMMAND_TEXT_SIZE)
            return line_error(output, "Error: File name longer than 999 characters.\n");
    }

    // A transfer without file arguments takes its file from the URL's path.
    if (parsed->file_count == 0 && row && row->file_from_url) {
        char scheme[URL_TEXT_SIZE], user[URL_TEXT_SIZE], password[URL_TEXT_SIZE];
        char host[URL_TEXT_SIZE], path[URL_TEXT_SIZE];
        int port = 0;
        if (parse_url(parsed->url, scheme, user, password, host, &port, path) != 0)
            return line_error(output, "Error: URL longer than 999 characters.\n");
        // With -r the root folder itself is a tree to walk.
        if (strcmp(path, "/") == 0 && !parsed->recurse) {
            output_append_text("Error: Can't find remote filename.\n", output);
            print_usage(output);
            return COMMAND_LINE_ERROR;
        }
        char *slash = strrchr(path, '/');
        char *name = slash ? slash + 1 : path;
        text_copy(parsed->file_name, sizeof parsed->file_name, name);
        *name = '\0';
        // The defaults filled in can push a long URL past the limit.
        if (compose_url(parsed->url, sizeof parsed->url, scheme, user, password, host, port,
                        path) != 0)
            return line_error(output, "Error: URL longer than 999 characters.\n");
        parsed->split_file[0] = parsed->file_name;
        parsed->split_file[1] = nullptr;
        parsed->files = parsed->split_file;
        parsed->file_count = 1;
    }
    compose_display_url(parsed->display_url, sizeof parsed->display_url, parsed->url);
    return COMMAND_OK;
}

// Runs a parsed command with the status window open. The handle variable is the one
// the window's Cancel reads: it holds the handle from before the connect (so a Cancel
// during the connect or the login ends the open) until just before the close, and it
// changes only under the window's lock.
static int run(const CommandRow *row, const ParsedCommand *parsed, KESTREL_WINDOW window,
               OutputBuffer *output, StatusWindow *status, HARC *handle)
{
    ActionCall call = {parsed->file_count, parsed->files, window, output, nullptr, status, parsed->url,
                       parsed->recurse, parsed->data_mode, parsed->open_mode};
    if (row && row->reach == REACH_URL_ONLY)
        return row->run(call);

    // For p the report holds the files' bytes only.
    int report_lines = !parsed->quiet && !(row && row->bytes_only);
    if (report_lines)
        output_printf(output, "Opening URL[%s]\n", parsed->display_url);
    if (!parsed->quiet)
        status_print(status, "Opening URL[%s]\r\n", parsed->display_url);

    HARC opening = KestrelNewArchiveEx();
    status_set_handle(handle, opening);
    if (!opening || KestrelOpenArchiveEx(opening, parsed->url, parsed->open_mode) != 1) {
        status_set_handle(handle, nullptr);
        output_printf(output, "Error: Can't KestrelOpenArchive(%lld,%s,0)\n",
                      (long long)(intptr_t)window, parsed->display_url);
        if (opening)
            command_failure_reason(output, opening);
        else
            output_append_text("Error: out of memory\n", output);
        KestrelCloseArchive(opening);
        // An unknown long option is found only once the handle is open.
        return row ? row->open_failure : COMMAND_LINE_ERROR;
    }
    KestrelSetCallbackMsgFunc(*handle, status_message_callback, (intptr_t)status);
    // The panel's meter wants a total even when neither the 150 nor a listing has one.
    if (status)
        KestrelSetOptionEx(*handle, "AskSize", "1");
    if (parsed->data_mode != -1)
        KestrelSetDataConnectionMode(*handle, parsed->data_mode);

    int result = COMMAND_LINE_ERROR;
    call.handle = *handle;
    if (row) {
        result = row->run(call);
    } else {
        output_printf(output, "Error: Illegal long option [%s]\n", parsed->command);
        print_usage(output);
    }

    if (report_lines)
        output_printf(output, "Closing URL[%s]\n", parsed->display_url);
    if (!parsed->quiet)
        status_print(status, "Closing URL[%s]\r\n", parsed->display_url);
    HARC closing = *handle;
    status_set_handle(handle, nullptr);
    KestrelCloseArchive(closing);
    return result;
}

extern "C" int KESTREL_API Kestrel(KESTREL_WINDOW window, const char *command_line, char *output_area,
                                   int size)
{
    // A null buffer (no memory, or a negative size) takes every line as full: the
    // command still runs, its report is lost, and nothing is written outside the area.
    OutputBuffer *output = output_create(output_area, size);

    char **args = split_command_line(command_line);
    if (!args) {
        print_usage(output);
        char shown[OUTPUT_FORMAT_SIZE];  // display text: cut where the report would cut it
        hide_url_passwords(shown, sizeof shown, command_line ? command_line : "");
        output_printf(output, "Error: Commandline Parse failed [%s]\n", shown);
        output_destroy(output);
        return COMMAND_LINE_ERROR;
    }
    int count = argument_count(args);

    ParsedCommand parsed;
    memset(&parsed, 0, sizeof parsed);
    parsed.data_mode = -1;
    int result = COMMAND_OK;
    const CommandRow *row = nullptr;
    int next = parse_options(args, count, &parsed, output);
    if (next < 0) {
        result = COMMAND_LINE_ERROR;
    } else if (parsed.command[0] == '\0') {
        output_append_text("Error: Can't find command.\n", output);
        print_usage(output);
        result = COMMAND_LINE_ERROR;
    } else if ((row = find_command(&parsed)) != nullptr && row->reach == REACH_NO_URL) {
        // The arguments after the options go to the dialog as they are.
        ActionCall call = {count - next, args + next, window, output, nullptr, nullptr, nullptr, 0, -1, 0};
        result = row->run(call);
    } else {
        result = parse_target(args + next, count - next, row, &parsed, output);
        if (result == COMMAND_OK) {
            HARC handle = nullptr;
            StatusWindow *status = nullptr;
            if (!parsed.no_window)
                status = status_open(platform_module_handle(), window, status_cancel_callback,
                                     (intptr_t)&handle);
            result = run(row, &parsed, window, output, status, &handle);
            status_close(status);
        }
    }
    output_destroy(output);
    release_argument_list(args);
    return result;
}
