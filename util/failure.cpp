#include "util/failure.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void failure_clear(Failure *failure)
{
    if (failure == nullptr)
        return;
    failure->kind = FAILURE_NONE;
    failure->text[0] = '\0';
}

static void set_text(Failure *failure, int kind, const char *format, va_list ap)
{
    failure->kind = kind;
    if (vsnprintf(failure->text, sizeof failure->text, format, ap) < 0)
        failure->text[0] = '\0';
    size_t length = strlen(failure->text);
    while (length > 0 && (failure->text[length - 1] == '\n' || failure->text[length - 1] == '\r'))
        failure->text[--length] = '\0';
}

void failure_note(Failure *failure, int kind, const char *format, ...)
{
    if (failure == nullptr || failure->kind != FAILURE_NONE)
        return;
    va_list ap;
    va_start(ap, format);
    set_text(failure, kind, format, ap);
    va_end(ap);
}

void failure_set(Failure *failure, int kind, const char *format, ...)
{
    if (failure == nullptr)
        return;
    va_list ap;
    va_start(ap, format);
    set_text(failure, kind, format, ap);
    va_end(ap);
}
