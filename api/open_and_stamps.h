// What the command entry needs from the library beyond the public header: a handle that
// exists before its connection does (so a Cancel pressed while the server is still being
// reached or the login is under way has something to reach; KestrelCancel on it is safe
// all along), the one thing FindFirst cannot say (an empty directory and a failed listing
// both give no entry) and the MS-DOS stamps turned back into times. Nothing else inside
// api/ is meant for the command layer.
#pragma once

#include <cstdint>
#include <ctime>

#include "api/kestrel.h"

// 1 when the handle's last listing failed, 0 when it succeeded, none was made or the
// handle is null.
int kestrel_listing_failed(HARC archive);

// MS-DOS date and time words (local time, daylight saving included) to seconds since
// 1970. The fields are not checked: a day 0 or a month 13 adds up as calendar_seconds
// says.
int32_t dos_stamp_to_time(uint16_t date, uint16_t time_of_day);

// The words as the runtime's local time shows them, so a daylight-saving shift shows as
// the runtime sees it. 0, or -1 (out zeroed) when the runtime cannot convert the moment.
int dos_stamp_local_fields(uint16_t date, uint16_t time_of_day, struct tm *out);

// A handle that is not connected yet; null when there is no memory. Closed with
// KestrelCloseArchive whatever happens to the open.
HARC frame_new_handle(void);
// Why the handle's open failed, when TLS was the cause ("certificate has expired", the
// server refused AUTH TLS, ...); "" otherwise or for a null handle.
const char *kestrel_open_failure(HARC archive);
// What KestrelOpenArchive does with the handle: 0 when the directory is open, -1 when the
// URL, the connect, the login or the directory change fails (or was cancelled).
int frame_open_handle(HARC handle, const char *url, uint32_t mode);
