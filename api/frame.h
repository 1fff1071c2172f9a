// Opening a handle in two steps, for the command entry: the handle exists before its
// connection does, so a Cancel pressed while the server is still being reached or the
// login is under way has something to reach (KestrelCancel on it is safe all along).
#pragma once

#include <cstdint>

#include "api/kestrel.h"

// A handle that is not connected yet; null when there is no memory. Closed with
// KestrelCloseArchive whatever happens to the open.
HARC frame_new_handle(void);
// What KestrelOpenArchive does with the handle: 0 when the directory is open, -1 when the
// URL, the connect, the login or the directory change fails (or was cancelled).
int frame_open_handle(HARC handle, const char *url, uint32_t mode);
