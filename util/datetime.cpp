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

// Days from 1970-01-01 to the first of the month, in the Gregorian calendar (every
// fourth year a leap year except the centuries not divisible by 400), on both sides of
// 1970: a server's dates before it and after 2038 are real dates too.
static int64_t days_to_month(int64_t year, int64_t month)
{
    // Counted in years that begin in March, so the leap day is the last of its year.
    int64_t y = month < 2 ? year - 1 : year;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t year_of_era = y - era * 400;
    int64_t shifted_month = month < 2 ? month + 10 : month - 2;
    int64_t day_of_year = (153 * shifted_month + 2) / 5;
    int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int64_t calendar_seconds_wide(const struct tm *fields)
{
    int64_t year = (int64_t)fields->tm_year + 1900;
    int64_t month = fields->tm_mon;
    // A month outside 0..11 rolls into the neighbouring years.
    year += month / 12;
    month %= 12;
    if (month < 0) {
        month += 12;
        year -= 1;
    }
    int64_t days = days_to_month(year, month) + (int64_t)fields->tm_mday - 1;
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

int64_t local_fields_to_time_zoned_wide(const struct tm *fields, long standard_offset,
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
    return moment;
}

int32_t local_fields_to_time_zoned(const struct tm *fields, long standard_offset,
                                   ZoneOffsetAt offset_at)
{
    return clamp_seconds(local_fields_to_time_zoned_wide(fields, standard_offset, offset_at));
}

int32_t time_field_of(int64_t seconds)
{
    return clamp_seconds(seconds);
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
