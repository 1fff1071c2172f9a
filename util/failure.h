// Why an operation failed, carried from the socket up to the handle: what kind of failure
// it was and a short text (the system's error text, or the server's reply line).
#pragma once

#include <cstdint>

enum FailureKind {
    FAILURE_NONE = 0,
    FAILURE_NAME = 1,         // the host name gave no address
    FAILURE_REFUSED = 2,      // nothing listens at the address and port
    FAILURE_UNREACHABLE = 3,  // the network gave up on the connection (or lost it)
    FAILURE_TIME_LIMIT = 4,   // a wait went without progress for the whole time limit
    FAILURE_CANCELLED = 5,
    FAILURE_TLS = 6,
    FAILURE_LOGIN = 7,        // USER or PASS refused
    FAILURE_SERVER = 8,       // any other command refused: the text is the reply line
    FAILURE_LOCAL_FILE = 9,
    FAILURE_PROTOCOL = 10,    // the server closed the connection or answered out of turn
};

enum { FAILURE_TEXT_SIZE = 200 };

struct Failure {
    int32_t kind;
    char text[FAILURE_TEXT_SIZE];
};

void failure_clear(Failure *failure);
// Notes a reason unless one is noted already: the first failure of an operation is its
// cause, and whatever fails after it only follows from it. A null failure notes nothing.
// The text is cut to fit, and a line end at its end is dropped (a reply line as it came).
void failure_note(Failure *failure, int kind, const char *format, ...)
    __attribute__((format(gnu_printf, 3, 4)));
// Notes a reason over whatever was noted before.
void failure_set(Failure *failure, int kind, const char *format, ...)
    __attribute__((format(gnu_printf, 3, 4)));
