#include "platform/time.h"

#include <ctime>

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
