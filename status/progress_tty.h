// The progress line of the terminal panel: what a transfer has done, fitted to the width
// of the terminal, in the manner of curl's meter.
#pragma once

#include <cstddef>

struct StatusProgressFigures {
    const char *kind;  // "READ" or "WRITE"
    long long done;    // bytes so far
    long long total;   // <= 0: not known
    double rate;       // bytes per second; < 0 until it can be measured
    double elapsed;    // seconds since the transfer began
};

enum { STATUS_PROGRESS_ROW_SIZE = 256 };

// Writes the progress into row1 and, when max_rows allows and one row of `width` columns
// cannot hold every field, row2 (each STATUS_PROGRESS_ROW_SIZE bytes). A known size
// shows kind, bar, percentage, bytes done and total, rate, elapsed time and time left; an
// unknown one kind, bytes, rate and elapsed time. Fields that do not fit are left out
// whole, last ones first, so no number loses its unit. Returns the rows used, 1 or 2.
int status_progress_format(const StatusProgressFigures *figures, int width, int max_rows, char *row1,
                           char *row2);

// 1536 bytes as "1.50 KiB": three significant digits and a binary unit (B up to 1023).
void status_format_bytes(char *out, size_t size, double bytes);
