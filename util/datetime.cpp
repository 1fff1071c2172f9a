#include "util/datetime.h"

#include <cstring>

static int32_t clamp_seconds(int64_t seconds)
{
    if (seconds > INT32_MAX)
        return INT32_MAX;
    if (seconds < INT32_MIN)
        return INT32_MIN;
    return (int32_t)seconds;
}

int64_t calendar_seconds_wide(const struct tm *fields)
{
    // Days of the year before each month's first, February with 28 days.
    static const int days_before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    int64_t year = fields->tm_year;
    int64_t month = fields->tm_mon;
    // A month outside 0..11 rolls into the neighbouring years instead of reading past
    // the table.
    year += month / 12;
    month %= 12;
    if (month < 0) {
        month += 12;
        year -= 1;
    }
    int64_t days = 0;
    if (year > 70) {
        // 365 days for each year from 1970 on, one more for each of them divisible by 4
        // (1900 counts as year 0; 69/4 leap years lie before 1970).
        days = 365 * (year - 70) + ((year - 1) / 4 - 69 / 4);
    }
    days += days_before[month] + (month > 1 && year % 4 == 0 ? 1 : 0);
    days += (int64_t)fields->tm_mday - 1;
    return days * 86400 + (int64_t)fields->tm_hour * 3600 + (int64_t)fields->tm_min * 60 +
           fields->tm_sec;
}

int32_t calendar_seconds(const struct tm *fields)
{
    return clamp_seconds(calendar_seconds_wide(fields));
}

int32_t local_fields_to_time(const struct tm *fields, long zone_offset)
{
    return clamp_seconds(calendar_seconds_wide(fields) + zone_offset);
}

int32_t local_fields_to_time_zoned(const struct tm *fields, long standard_offset,
                                   ZoneOffsetAt offset_at)
{
    int64_t wall = calendar_seconds_wide(fields);
    // The offset depends on the moment and the moment on the offset. Standard time is
    // right for most of the year and costs one look; otherwise the offset found there
    // gives a moment within the hour, and a second look settles a change between.
    int64_t moment = wall + standard_offset;
    long offset = offset_at(moment);
    if (offset != standard_offset) {
        moment = wall + offset;
        long again = offset_at(moment);
        if (again != offset)
            moment = wall + again;
    }
    return clamp_seconds(moment);
}

void dos_stamp_from_fields(const struct tm *local, uint16_t *date, uint16_t *time_of_day)
{
    *date = DOS_DATE_EPOCH;
    *time_of_day = 0;
    if (!local || local->tm_year < 80)
        return;
    if (local->tm_year > 207) {
        *date = (uint16_t)((127 << 9) | (12 << 5) | 31);
        *time_of_day = (uint16_t)((23 << 11) | (59 << 5) | 29);
        return;
    }
    *date = (uint16_t)(((local->tm_year - 80) << 9) | ((local->tm_mon + 1) << 5) | local->tm_mday);
    *time_of_day = (uint16_t)((local->tm_hour << 11) | (local->tm_min << 5) | (local->tm_sec / 2));
}

void dos_stamp_to_fields(uint16_t date, uint16_t time_of_day, struct tm *fields)
{
    memset(fields, 0, sizeof *fields);
    fields->tm_sec = (time_of_day & 0x1F) * 2;
    fields->tm_min = (time_of_day >> 5) & 0x3F;
    fields->tm_hour = (time_of_day >> 11) & 0x1F;
    fields->tm_mday = date & 0x1F;
    fields->tm_mon = ((date >> 5) & 0x0F) - 1;
    fields->tm_year = ((date >> 9) & 0x7F) + 80;
}
