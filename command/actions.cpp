// The actions of the command entry. They reach the session only through the exported
// functions, as any other caller of the library would, so the report shows exactly what
// the interface did; api/open_and_stamps.h adds only what the listing report needs besides. Error lines name the call and its arguments; the handle is printed
// with its full width (pointer-sized on Linux) and a null text as "(null)".
#include "command/actions.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "api/open_and_stamps.h"
#include "command/entry.h"
#include "command/output.h"
#include "command/tree.h"
#include "platform/charset.h"
#include "platform/file.h"
#include "platform/time.h"
#include "status/status.h"
#include "util/text.h"
#include "util/url.h"

enum { PRINT_BLOCK_SIZE = 4096 };

HandleText command_handle_text(HARC handle)
{
    HandleText shown;
    if (sizeof handle > 4)
        text_format(shown.text, sizeof shown.text, "0x%llx", (unsigned long long)(uintptr_t)handle);
    else
        text_format(shown.text, sizeof shown.text, "%lld", (long long)(intptr_t)handle);
    return shown;
}

void command_failure_reason(OutputBuffer *output, HARC handle)
{
    char reason[256];
    if (KestrelGetErrorEx(handle, reason, (int)sizeof reason) != KESTREL_FAILURE_NONE && reason[0] != '\0')
        output_printf(output, "Error: %s\n", reason);
}

static int is_folder_argument(const char *argument)
{
    size_t n = strlen(argument);
    return n > 0 && (argument[n - 1] == '/' || argument[n - 1] == '\\');
}

// The folder argument of add and extract: copied whole into the folder text and made
// locally. An extract's folder is made with all its levels, and one that cannot be made
// fails the command, since every file after it would fail on its own; add names a remote
// folder with it and makes the local one as a courtesy only. 0, or -1 when the name does
// not fit (a cut name would send the files somewhere else) or the folder is missing.
static int take_folder(const char *argument, char *folder, size_t size, int receives, OutputBuffer *output)
{
    if (text_copy(folder, size, argument) != 0) {
        folder[0] = '\0';
        output_printf(output, "Error: Folder name too long [%.100s...]\n", argument);
        return -1;
    }
    if (!receives) {
        platform_make_directory(argument);
        return 0;
    }
    if (platform_make_folders(argument) != 0) {
        output_printf(output, "Error: Can't make the folder [%s]\n", argument);
        output_printf(output, "Error: local file: %s: %s\n", argument, strerror(errno));
        return -1;
    }
    return 0;
}

// What tells an upload from a download in the report: its words, the export it calls
// and the result of a failure.
struct TransferKind {
    const char *verb;    // "Write" or "Read"
    const char *export_name;
    int (*run)(HARC handle, const char *folder, const char *file);
    int failure;
    int receives;        // the files land in the local folder argument
};

static int add_one(HARC handle, const char *folder, const char *file)
{
    return KestrelAdd(handle, folder, file, 0);
}

static int extract_one(HARC handle, const char *folder, const char *file)
{
    return KestrelExtract(handle, file, folder, 0);
}

// Runs the transfer for each file argument; a folder argument (ending in a separator)
// names where the following files go. Stops at the first failure.
static int transfer_each(const TransferKind &kind, int count, char *const *files, OutputBuffer *output,
                         HARC handle, StatusWindow *status)
{
    char folder[COMMAND_TEXT_SIZE] = "";
    for (int i = 0; i < count; i++) {
        const char *file = files[i];
        if (is_folder_argument(file)) {
            if (take_folder(file, folder, sizeof folder, kind.receives, output) != 0)
                return kind.failure;
            continue;
        }
        output_printf(output, "%s begin [%s]\n", kind.verb, file);
        status_print(status, "%s begin [%s]\r\n", kind.verb, file);
        if (kind.run(handle, folder, file) <= 0) {
            output_printf(output, "Error: Can't %s(%s,%s,(null),0)\n", kind.export_name,
                          command_handle_text(handle).text, file);
            command_failure_reason(output, handle);
            return kind.failure;
        }
        output_printf(output, "%s end [%s]\n", kind.verb, file);
        status_print(status, "%s end [%s]\r\n", kind.verb, file);
    }
    return COMMAND_OK;
}

int command_add(const ActionCall &call)
{
    int count = call.count;
    char *const *files = call.files;
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    StatusWindow *status = call.status;
    static const TransferKind upload = {"Write", "KestrelAdd", add_one, COMMAND_WRITE_FAILED, 0};
    if (tree_wanted(call))
        return tree_add(call);
    return transfer_each(upload, count, files, output, handle, status);
}

int command_extract(const ActionCall &call)
{
    int count = call.count;
    char *const *files = call.files;
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    StatusWindow *status = call.status;
    static const TransferKind download = {"Read", "KestrelExtract", extract_one, COMMAND_READ_FAILED, 1};
    if (tree_wanted(call))
        return tree_extract(call);
    return transfer_each(download, count, files, output, handle, status);
}

static const char LIST_HEADER[] =
    "  Name          Original    Packed  Ratio     Date     Time   Attr Method   CRC-32\n";
static const char LIST_RULE[] =
    "--------------  --------  -------- ------ ---------- -------- ---- -------- --------\n";

int command_list(const ActionCall &call)
{
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    output_append_text(LIST_HEADER, output);
    output_append_text(LIST_RULE, output);

    // The record crosses the interface: zero it so every text in it ends within it
    // whatever the library left unwritten.
    EntryInfo record;
    memset(&record, 0, sizeof record);
    int entries = 0;
    int found = KestrelFindFirst(handle, "", &record);
    while (found == 0) {
        // The record's sizes are 32-bit; the 64-bit queries give the size the server
        // listed, 2 GiB and more included.
        long long original = 0, compressed = 0;
        if (KestrelGetOriginalSizeEx(handle, &original) != 1)
            original = record.original_size;
        if (KestrelGetCompressedSizeEx(handle, &compressed) != 1)
            compressed = record.compressed_size;
        struct tm at;
        dos_stamp_local_fields(record.date, record.time, &at);
        // The name column is padded by what the name shows, not by its bytes: a UTF-8
        // name would otherwise shift its row left.
        char name[sizeof record.file_name + 1];
        text_copy_n(name, sizeof name, record.file_name, strnlen(record.file_name, sizeof record.file_name));
        int pad = 14 - platform_text_width(name);
        output_printf(output,
                      "%*s%s  %8lld  %8lld %6.1f %04d-%02d-%02d %02d:%02d:%02d %4.*s %7.*s %08x\n",
                      pad > 0 ? pad : 0, "", name, original, compressed,
                      (uint16_t)record.ratio * 0.1, at.tm_year + 1900, at.tm_mon + 1, at.tm_mday,
                      at.tm_hour, at.tm_min, at.tm_sec, (int)sizeof record.attribute,
                      record.attribute, (int)sizeof record.method, record.method,
                      (unsigned)record.crc);
        entries++;
        found = KestrelFindNext(handle, &record);
    }
    output_append_text(LIST_RULE, output);

    // FindFirst answers -1 for an empty directory too; only the enumeration knows
    // whether the listing itself came through.
    if (entries == 0 && kestrel_listing_failed(handle)) {
        output_printf(output, "Error: Can't KestrelFindFirst(%s,,(null),0)\n",
                      command_handle_text(handle).text);
        command_failure_reason(output, handle);
        return COMMAND_READ_FAILED;
    }

    struct tm at;
    dos_stamp_local_fields(KestrelGetArcDate(handle), KestrelGetArcTime(handle), &at);
    // KestrelGetArcRatio is an export-table alias of KestrelGetRatio, with no symbol of
    // its own inside the Windows library.
    double ratio = (uint16_t)KestrelGetRatio(handle) * 0.1;
    long long original = 0, compressed = 0;
    KestrelGetArcOriginalSizeEx(handle, &original);
    KestrelGetArcCompressedSizeEx(handle, &compressed);
    output_printf(output, "   %3d files    %8lld  %8lld %6.1f %04d-%02d-%02d %02d:%02d:%02d\n",
                  entries, original, compressed, ratio, at.tm_year + 1900, at.tm_mon + 1,
                  at.tm_mday, at.tm_hour, at.tm_min, at.tm_sec);
    return COMMAND_OK;
}

int command_check(const ActionCall &call)
{
    OutputBuffer *output = call.output;
    const char *url = call.url;
    char shown[COMMAND_TEXT_SIZE];
    compose_display_url(shown, sizeof shown, url);
    if (KestrelCheckArchive(url, 0) != 0) {
        output_printf(output, "check [%s] ... OK\n", shown);
        return COMMAND_OK;
    }
    output_printf(output, "check [%s] ... NG\n", shown);
    return COMMAND_NOT_FTP;
}

int command_print(const ActionCall &call)
{
    int count = call.count;
    char *const *files = call.files;
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    char block[PRINT_BLOCK_SIZE];
    for (int i = 0; i < count; i++) {
        const char *file = files[i];
        if (strchr(file, '/') || strchr(file, '\\'))
            continue;
        if (KestrelOpenFile(handle, file, "rb", 0) == -1) {
            output_printf(output, "Error: Can't KestrelOpenFile(%s,%s,rb,0)\n",
                          command_handle_text(handle).text, file);
            command_failure_reason(output, handle);
            return COMMAND_READ_FAILED;
        }
        int n;
        char read_failure[256] = "";
        for (;;) {
            n = KestrelRead(handle, block, (int)sizeof block);
            if (n < 0)
                KestrelGetErrorEx(handle, read_failure, (int)sizeof read_failure);
            if (n <= 0)
                break;
            if (output_append(output, block, n) <= 0)
                break;
        }
        // A transfer the server cut off (426) or that broke is a failed print, even
        // though its first bytes are in the report. A full report ends the transfer
        // early on purpose: the server's answer to that says nothing about the file.
        int closed = KestrelCloseFile(handle);
        if (n < 0 || (n == 0 && closed != 0)) {
            output_printf(output, "Error: Can't KestrelCloseFile(%s) [%s]\n", command_handle_text(handle).text, file);
            // The read that failed knows why; the close after it only follows from that.
            if (read_failure[0] != '\0')
                output_printf(output, "Error: %s\n", read_failure);
            else
                command_failure_reason(output, handle);
            return COMMAND_READ_FAILED;
        }
    }
    return COMMAND_OK;
}

// What tells mkdir, rmdir and delete apart in the report: the line before each name, the
// call that failed, and the export that does the work.
struct NameCommand {
    const char *doing;
    const char *failed_call;
    int (*run)(HARC handle, const char *name);
};

static int make_dir_one(HARC handle, const char *name)
{
    return KestrelMkDir(handle, name, 0);
}

static int remove_dir_one(HARC handle, const char *name)
{
    return KestrelRmDir(handle, name, 0);
}

static int delete_one(HARC handle, const char *name)
{
    return KestrelDelete(handle, name, 0);
}

// Runs the command on each name argument in turn; stops at the first refusal.
static int each_name(const NameCommand &kind, const ActionCall &call)
{
    char *const *files = call.files;
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    for (int i = 0; i < call.count; i++) {
        output_printf(output, "%s [%s]\n", kind.doing, files[i]);
        if (kind.run(handle, files[i]) <= 0) {
            output_printf(output, "Error: Can't %s(%s,%s,(null),0)\n", kind.failed_call,
                          command_handle_text(handle).text, files[i]);
            command_failure_reason(output, handle);
            return COMMAND_WRITE_FAILED;
        }
    }
    return COMMAND_OK;
}

int command_make_dirs(const ActionCall &call)
{
    static const NameCommand make_dir = {"Making Directory", "MkDir", make_dir_one};
    return each_name(make_dir, call);
}

int command_remove_dirs(const ActionCall &call)
{
    static const NameCommand remove_dir = {"Removing Directory", "RmDir", remove_dir_one};
    return each_name(remove_dir, call);
}

int command_move(const ActionCall &call)
{
    int count = call.count;
    char *const *files = call.files;
    OutputBuffer *output = call.output;
    HARC handle = call.handle;
    // A missing new name is found before anything is renamed: half a command line must
    // not leave the server half changed.
    if (count % 2 != 0) {
        output_printf(output, "Error: Can't find the new name for [%s].\n", files[count - 1]);
        return COMMAND_LINE_ERROR;
    }
    for (int i = 0; i + 1 < count; i += 2) {
        output_printf(output, "Moving [%s] to [%s]\n", files[i], files[i + 1]);
        if (KestrelMove(handle, files[i], files[i + 1], 0) <= 0) {
            output_printf(output, "Error: Can't KestrelMove(%s,%s,%s,0)\n",
                          command_handle_text(handle).text, files[i], files[i + 1]);
            command_failure_reason(output, handle);
            return COMMAND_WRITE_FAILED;
        }
    }
    return COMMAND_OK;
}

int command_delete(const ActionCall &call)
{
    static const NameCommand remove_file = {"Deleting", "KestrelDelete", delete_one};
    return each_name(remove_file, call);
}

int command_config(const ActionCall &call)
{
    KESTREL_WINDOW window = call.window;
    OutputBuffer *output = call.output;
    int result = KestrelConfigDialog(window, "", 0);
    if (result == -1) {
        // No display or no terminal: saying "OK" here would claim settings were edited.
        output_printf(output, "Error: Can't open the configuration dialog.\n");
        return COMMAND_WRITE_FAILED;
    }
    output_printf(output, result == 0 ? "ConfigDialog ... Cancel\n" : "ConfigDialog ... OK\n");
    return COMMAND_OK;
}
