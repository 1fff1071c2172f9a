#include "platform/time.h"

#include <ctime>

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
