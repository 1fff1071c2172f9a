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

// tzset() looks at /etc/localtime again on every call when TZ is unset, and the parser
// asks once per listing line: the offset is kept until TZ itself changes.
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
        tzset();
        offset = timezone;
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
    return (int64_t)time(nullptr);
}

int platform_local_time(int64_t seconds, struct tm *out)
{
    time_t moment = (time_t)seconds;
    return localtime_r(&moment, out) ? 0 : -1;
}

long platform_zone_offset_at(int64_t seconds)
{
    // Loads a changed TZ first: localtime_r does not look at it again by itself.
    long standard = platform_zone_offset();
    time_t moment = (time_t)seconds;
    struct tm local;
    if (!localtime_r(&moment, &local))
        return standard;
    return -local.tm_gmtoff;
}
