#include "platform/time.h"

#include <ctime>

long platform_zone_offset(void)
{
    _tzset();
    return _timezone;
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
