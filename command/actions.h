// The actions of the command entry. Each runs once on the handle that the entry opened,
// works only through the exported functions, writes its lines into the entry's report
// (and, where a transfer runs, their CR LF twins into the status window) and answers a
// result code of command/entry.h. They stop at the first failing file: the files before
// it stay done, the files after it are not tried.
#pragma once

#include <cstdint>

#include "api/kestrel.h"

struct OutputBuffer;
struct StatusWindow;

// What an action works on: the file arguments, the caller's window, the report, the open
// handle (null for check and config), the status window (may be null) and the URL.
struct ActionCall {
    int count;
    char *const *files;
    KESTREL_WINDOW window;
    OutputBuffer *output;
    HARC handle;
    StatusWindow *status;
    const char *url;
    int recurse;          // -r: folders are walked with everything below them
    int data_mode;        // --dataconnectionmode, -1 when not given
    uint32_t open_mode;   // the open mode of the command's handle
};

// The handle as an error line shows it: the signed 32-bit number a 32-bit Windows caller
// holds, a pointer in hex elsewhere.
struct HandleText {
    char text[24];
};
HandleText command_handle_text(HARC handle);

// Adds the reason of the handle's last failure (KestrelGetErrorEx; the open's of this
// thread for a null handle) as one "Error: ..." line, after the line that named the
// failed call; nothing when no reason was noted.
void command_failure_reason(OutputBuffer *output, HARC handle);

// Uploads each file argument. An argument that ends in '/' or '\' is made as a local
// folder and becomes the remote name of the files after it. 0 or COMMAND_WRITE_FAILED.
int command_add(const ActionCall &call);
// Downloads each file argument; a folder argument (as for add) is made locally and
// receives the files after it. 0 or COMMAND_READ_FAILED.
int command_extract(const ActionCall &call);
// The listing report of the handle's directory; the file arguments are ignored. 0, or
// COMMAND_READ_FAILED when the listing itself failed (an empty directory is a success).
int command_list(const ActionCall &call);
// Says whether the URL is an FTP URL, without connecting. 0 or COMMAND_NOT_FTP.
int command_check(const ActionCall &call);
// Appends the bytes of each remote file to the report; arguments with a '/' or '\' are
// skipped. 0, or COMMAND_READ_FAILED when a file cannot be opened.
int command_print(const ActionCall &call);
// Make / remove each remote directory. 0 or COMMAND_WRITE_FAILED.
int command_make_dirs(const ActionCall &call);
int command_remove_dirs(const ActionCall &call);
// Renames in pairs (old name, new name). An odd count renames nothing and answers
// COMMAND_LINE_ERROR; a refused rename answers COMMAND_WRITE_FAILED.
int command_move(const ActionCall &call);
// Deletes each remote file. 0 or COMMAND_WRITE_FAILED.
int command_delete(const ActionCall &call);
// Runs the configuration dialog over window. 0 after OK or Cancel; COMMAND_WRITE_FAILED
// when the dialog cannot be shown.
int command_config(const ActionCall &call);

