// The zone offset of local standard time, the same on every system but for the
// runtime's spelling of it.
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

// Without TZ, the runtime looks at the system's zone again on every call (glibc reads
// /etc/localtime, and under Wine each ask is a round trip to the wine server), and the
// parser asks once per listing line: the offset is kept until TZ itself changes.
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
#ifdef _WIN32
        _tzset();
        offset = _timezone;
#else
        tzset();
        offset = timezone;
#endif
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
