#include "status/status.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "util/charset.h"

int status_convert_line_ends(const char *text, char *out, int size)
{
    if (size <= 0)
        return -1;
    char stripped[STATUS_TEXT_SIZE];
    int n = 0, cut = 0;
    for (const char *p = text ? text : ""; *p; p++) {
        if (*p == '\r')
            continue;
        int width = charset_sjis_lead((unsigned char)*p) && p[1] ? 2 : 1;
        if (n + width > (int)sizeof stripped - 1) {
            cut = 1;
            break;
        }
        memcpy(stripped + n, p, (size_t)width);
        n += width;
        p += width - 1;
    }
    stripped[n] = '\0';

    int m = 0;
    for (int i = 0; i < n; i++) {
        int lf = stripped[i] == '\n';
        int width = lf ? 2 : (charset_sjis_lead((unsigned char)stripped[i]) && i + 1 < n ? 2 : 1);
        if (m + width > size - 1) {
            cut = 1;
            break;
        }
        if (lf) {
            out[m++] = '\r';
            out[m++] = '\n';
        } else {
            memcpy(out + m, stripped + i, (size_t)width);
            m += width;
            i += width - 1;
        }
    }
    out[m] = '\0';
    return cut ? -1 : 0;
}

int status_print(StatusWindow *window, const char *format, ...)
{
    char text[STATUS_TEXT_SIZE];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    return status_append(window, text);
}

int KESTREL_API status_message_callback(const char *text, intptr_t user)
{
    return status_append((StatusWindow *)user, text);
}

// Held while a handle variable changes and while a cancel reads it and cancels: the
// entry's thread cannot close a handle that the window's thread is cancelling. One lock
// for every variable; a cancel holds it only for as long as setting a flag takes.
static std::mutex handle_lock;

void status_set_handle(HARC *handle_variable, HARC handle)
{
    std::lock_guard<std::mutex> guard(handle_lock);
    *handle_variable = handle;
}

int KESTREL_API status_cancel_callback(intptr_t handle_variable)
{
    HARC *handle = (HARC *)handle_variable;
    if (!handle) {
        status_show_warning("(cancelcallback)Warning: callback parameter(HARC*) is NULL.");
        return 1;
    }
    int cancelled;
    {
        std::lock_guard<std::mutex> guard(handle_lock);
        cancelled = *handle != nullptr;
        if (cancelled)
            KestrelCancel(*handle, 0);
    }
    // The warning waits for the user: never while holding the lock.
    if (!cancelled)
        status_show_warning("(cancelcallback)Warning: HARC is NULL.");
    return 1;
}
