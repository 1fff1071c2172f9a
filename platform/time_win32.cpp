#include "platform/time.h"

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace {
// The holds of this thread (platform_zone_offset_hold) and the offset they keep.
thread_local int t_holds;
thread_local long t_held_offset;
}  // namespace

// Without TZ, _tzset asks the system for its zone on every call, and the parser asks once
// per listing line (under Wine each ask is a round trip to the wine server): the offset
// is kept until TZ itself changes.
static long zone_offset_now(void)
{
    static std::mutex lock;
    static bool known;
    static std::string seen_tz;
    static long offset;
    std::lock_guard<std::mutex> guard(lock);
    const char *tz = getenv("TZ");
    std::string current = tz ? std::string("=") + tz : std::string();
    if (!known || current != seen_tz) {
        _tzset();
        offset = _timezone;
        seen_tz = current;
        known = true;
    }
    return offset;
}

long platform_zone_offset(void)
{
    return t_holds > 0 ? t_held_offset : zone_offset_now();
}

void platform_zone_offset_hold(int on)
{
    if (on) {
        if (t_holds++ == 0)
            t_held_offset = zone_offset_now();
    } else if (t_holds > 0) {
        t_holds--;
    }
}

int64_t platform_now(void)
{
    return (int64_t)_time64(nullptr);
}

int platform_local_time(int64_t seconds, struct tm *out)
{
    __time64_t moment = (__time64_t)seconds;
    return _localtime64_s(out, &moment) == 0 ? 0 : -1;
}

long platform_zone_offset_at(int64_t seconds)
{
    long standard = platform_zone_offset();
    __time64_t moment = (__time64_t)seconds;
    struct tm local;
    if (_localtime64_s(&local, &moment) != 0)
        return standard;
    // _dstbias is negative: daylight saving moves the clock towards the east.
    return local.tm_isdst > 0 ? standard + _dstbias : standard;
}
