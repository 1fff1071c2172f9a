// How kestrel-cli reaches the library: bound by name when the program runs, nothing of
// it linked in. One file per system implements this.
#pragma once

enum LoaderStatus {
    LOADER_OK = 0,
    LOADER_NO_LIBRARY,  // the library cannot be loaded
    LOADER_NO_VERSION,  // it lacks KestrelGetVersion
    LOADER_NO_ENTRY,    // it lacks Kestrel
};

// Loads the library (beside the program first, then the system's usual search) and
// binds the two exports.
LoaderStatus loader_bind(const char *program);

// Calls KestrelGetVersion (its answer is not needed), then Kestrel with no window;
// returns Kestrel's result.
int loader_run(const char *command, char *report, int size);

// KestrelGetVersion's answer: the version times 100 (15 for 0.15).
int loader_version(void);

// Prepares standard output to pass the report's bytes unchanged.
void loader_binary_output(void);

// 1 when standard output is a terminal (a console on Windows), 0 when it goes to a
// file or a pipe.
int loader_output_is_terminal(void);

// The process exit status that carries a command's result as far as the system lets it.
int loader_exit_status(int result);
