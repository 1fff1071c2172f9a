// The command-string entry: one archiver-style command line in, one report and one
// result code out.
//
//     -[a|x|t|p|l][i][q][+]  ftp://[user[:pass]@]host[:port]/path  [files...]
//     --mkdir | --rmdir | --move | --delete  URL  [files...]
//     --config
//
// The entry splits and checks the whole line before it opens anything, opens the status
// window and the handle, runs one action (command/actions.h) through the exported
// functions only, closes what it opened and answers one of the codes below.
#pragma once

#include "api/kestrel.h"

struct OutputBuffer;

enum {
    COMMAND_TEXT_SIZE = 1000,  // command, URL and file texts: 999 characters and NUL
};

// Result codes of the entry. Codes of 0x8000 and above come from here only.
enum {
    COMMAND_OK = 0,
    COMMAND_WRITE_FAILED = 32787,  // 0x8013: upload, directory or file command failed
    COMMAND_NOT_FTP = 32795,       // 0x801B: the check found no FTP URL
    COMMAND_LINE_ERROR = 32796,    // 0x801C: the command line is wrong
    COMMAND_READ_FAILED = 32809,   // 0x8029: download, print or listing failed
};

// Runs one command line and writes its report into output (size bytes, never more; the
// report is discarded when output is null). The window is passed to the configuration
// dialog only. Returns one of the codes above.
extern "C" int KESTREL_API Kestrel(KESTREL_WINDOW window, const char *command_line, char *output,
                                   int size);

// The four usage lines.
void print_usage(OutputBuffer *output);
