// Calendar arithmetic and the MS-DOS date and time words, in one place for the listing
// (times from the server), the entry queries (words out) and the listing report (words
// back in). Pure arithmetic: the zone offset and the local broken-down time come from
// the caller (platform/time.h), so the same fields give the same answer everywhere.
#pragma once

#include <cstdint>
#include <ctime>

// Broken-down time to seconds with no time zone, in the Gregorian calendar, negative
// before 1970; fields out of their usual range add up (a month of 12 is January of the
// next year). Seconds, minutes, hours, day of the
// month, month and years since 1900 are read; the other fields are ignored. Results
// beyond the 32-bit range stick at its ends.
int32_t calendar_seconds(const struct tm *fields);
// The same without the 32-bit limit, for comparing two dates.
int64_t calendar_seconds_wide(const struct tm *fields);

// Local broken-down time (standard time) to seconds since 1970-01-01 00:00 UTC:
// calendar_seconds plus zone_offset (seconds west of UTC), daylight saving not applied.
int32_t local_fields_to_time(const struct tm *fields, long zone_offset);

// Seconds west of UTC in force at a moment, daylight saving included.
typedef long (*ZoneOffsetAt)(int64_t moment);

// Local wall-clock fields to seconds since 1970-01-01 00:00 UTC in a zone with daylight
// saving: the moment whose local time, as offset_at tells it, shows these fields, so
// that turning the result back into local time gives the same fields. standard_offset
// is the zone's offset without daylight saving (seconds west of UTC), the first guess.
// A reading that occurs twice (the hour repeated in autumn) gives its moment in standard
// time; one that never occurs (the hour skipped in spring) a moment an hour to either
// side.
int32_t local_fields_to_time_zoned(const struct tm *fields, long standard_offset,
                                   ZoneOffsetAt offset_at);
// The same without the 32-bit limit.
int64_t local_fields_to_time_zoned_wide(const struct tm *fields, long standard_offset,
                                        ZoneOffsetAt offset_at);

// A time for a 32-bit field: the time itself where it fits, else the nearest end of
// the field's range.
int32_t time_field_of(int64_t seconds);

// The MS-DOS date of 1 January 1980, the format's first day.
enum { DOS_DATE_EPOCH = 0x0021 };

// The date and time words of local broken-down time. Null (a moment the runtime could
// not convert) and years before 1980 give the format's epoch; years after 2107 its
// last second.
void dos_stamp_from_fields(const struct tm *local, uint16_t *date, uint16_t *time_of_day);

// The fields the words name, everything else zero. The fields are not checked: a day 0
// or a month 13 is left for local_fields_to_time to add up.
void dos_stamp_to_fields(uint16_t date, uint16_t time_of_day, struct tm *fields);
