// Dates and times: the current time in its several forms, calendar fields <-> milliseconds since
// 1970 (signed 64-bit, Gregorian calendar, UTC), UTC -> local time, and FormatDateTime, the one
// pattern-driven formatter behind every date text of the system.
#pragma once

#include <cstdint>

#include "foundation/byte_string.h"

namespace tw {

// Milliseconds between 1601-01-01 (the file-time epoch) and 1970-01-01.
constexpr int64_t kEpochDeltaMillis = 11644473600000;  // 0xA9730B66800
// The same span in file-time units of 100 ns.
constexpr int64_t kEpochDeltaFileTime = 116444736000000000;

struct DateFields {
  int year = 1970;
  int month = 1;        // 1-12
  int day = 1;          // 1-31
  int hour = 0;         // 0-23
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int day_of_week = -1;  // 0 = Sunday .. 6 = Saturday; -1 when not given
};

// English names whatever the locale: index 0-6 and 1-12; null outside the range.
const char* DayName(int day_of_week);
const char* MonthName(int month);

// The current UTC time as fields, day of the week included.
void GetUtcNowFields(DateFields* out);
// Current UTC time in milliseconds since 1970.
int64_t UnixTimeMillisNow();
// Current UTC time in milliseconds since 1601; the tick count when the clock cannot be read.
int64_t NowMilliseconds();
// The same as UnixTimeMillisNow, for the stream and transfer code.
int64_t CurrentFileTimeMillis();

// Fields (UTC) -> milliseconds since 1970. False, out untouched, when the fields are not a date
// between 1601 and 30827 (the day of the week is not looked at).
bool DateToUnixMillis(const DateFields& fields, int64_t* out);
// Milliseconds since 1970 -> UTC fields with the day of the week. False before 1601.
bool UnixMillisToDate(int64_t ms, DateFields* out);

// UTC fields -> local time. With use_time_zone, through the zone's rules for that date;
// without it, or when that fails, through the offset in force now. False, fields unchanged, when
// they are not a valid date. day_of_week (may be null) receives the local day of the week, which
// is also stored in the fields.
bool UtcToLocalTime(DateFields* fields, int* day_of_week, bool use_time_zone);

// The standard offset from UTC (daylight saving not applied): hours = offset / 60 and
// minutes = offset % 60, both carrying the offset's sign.
void TimeZoneOffset(int* hours, int* minutes);
// The same as one signed number of minutes (east of Greenwich positive).
int StandardOffsetMinutes();
// The offset in force at a local date and time (daylight saving included); the standard offset
// when the fields are not a valid date.
int LocalOffsetMinutesAt(const DateFields& local);

// Adds hours through milliseconds, carrying into the date; minutes and seconds are taken as 0.
// False, values unchanged, when the date is invalid or the result leaves the supported range.
bool AddHoursToDate(int* year, int* month, int* day, int* hour, int64_t hours);
// Adds minutes the same way; the day of the week is updated.
bool AddMinutesToDateTime(DateFields* fields, int64_t minutes);

// Sets out to the pattern with its tokens replaced: y yy yyy yyyy M MM MMM d dd ddd h hh H HH
// m mm s ss t tt zzz f ff fff ffff ffffff; anything else is copied. "ddd" needs a day of the
// week of 0-6, else it is copied. "zzz" is the local offset in force at the given (local) date
// as "+hhmm" or "-hhmm". Returns 0; running out of memory leaves out incomplete.
int FormatDateTime(ByteString* out, const char* pattern, int year, int month, int day, int hour,
                   int minute, int second, int millisecond, int day_of_week);
int FormatDateTime(ByteString* out, const char* pattern, const DateFields& fields);
// FormatDateTime with the day of the week -1.
int FormatDateTimeNoZone(ByteString* out, const char* pattern, int year, int month, int day,
                         int hour, int minute, int second, int millisecond);
// The current UTC time plus days * 86400000 ms, formatted with the pattern.
int FormatDateDaysFromNow(int64_t days, const char* pattern, ByteString* out);
// The current UTC time as "yyyyMMddHHmmss" followed by "Z".
int TimestampUtcCompact(ByteString* out);

}  // namespace tw
