// What the command entry's report needs from the library beyond the public header: the
// one thing FindFirst cannot say (an empty directory and a failed listing both give no
// entry) and the MS-DOS stamps turned back into times. Nothing else inside api/ is
// meant for the command layer.
#pragma once

#include <cstdint>
#include <ctime>

#include "api/kestrel.h"

// 1 when the handle's last listing failed, 0 when it succeeded, none was made or the
// handle is null.
int kestrel_listing_failed(HARC archive);

// MS-DOS date and time words (local standard time) to seconds since 1970. The fields
// are not checked: a day 0 or a month 13 adds up as calendar_seconds says.
int32_t dos_stamp_to_time(uint16_t date, uint16_t time_of_day);

// The words as the runtime's local time shows them, so a daylight-saving shift shows as
// the runtime sees it. 0, or -1 (out zeroed) when the runtime cannot convert the moment.
int dos_stamp_local_fields(uint16_t date, uint16_t time_of_day, struct tm *out);
