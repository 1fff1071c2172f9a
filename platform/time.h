// Local time of the C runtime: the zone offset and the conversion of a moment into
// local broken-down fields. A change of the TZ variable (as tests make) takes effect at
// the next call.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds west of UTC of the local standard time (daylight saving not applied), as the
// C runtime knows it after tzset(): 28800 for eight hours west, -3600 for one hour east.
long platform_zone_offset(void);

// While a hold is on, platform_zone_offset answers on this thread what it answered when
// the hold began, without looking at TZ again: a listing asks once per line, and one
// listing is read in one zone. Holds nest; each on needs its off.
void platform_zone_offset_hold(int on);

// The current moment, seconds since 1970-01-01 00:00 UTC.
int64_t platform_now(void);

// Fills *out with the local broken-down time of the moment; 0, or -1 when the runtime
// cannot convert it (a moment before 1970 on Windows, for instance).
int platform_local_time(int64_t seconds, struct tm *out);

// Seconds west of UTC in force at the moment, daylight saving included, as the runtime's
// local time applies it (so it agrees with platform_local_time); the standard offset
// when the runtime cannot convert the moment.
long platform_zone_offset_at(int64_t seconds);
