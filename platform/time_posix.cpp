#include "platform/time.h"

#include <ctime>

long platform_zone_offset(void)
{
    tzset();
    return timezone;
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
