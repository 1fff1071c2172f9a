#include "platform/time.h"

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

// Without TZ, _tzset asks the system for its zone on every call, and the parser asks once
// per listing line (under Wine each ask is a round trip to the wine server): the offset
// is kept until TZ itself changes.
long platform_zone_offset(void)
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

int64_t platform_now(void)
{
    return (int64_t)_time64(nullptr);
}

int platform_local_time(int64_t seconds, struct tm *out)
{
    __time64_t moment = (__time64_t)seconds;
    return _localtime64_s(out, &moment) == 0 ? 0 : -1;
}
