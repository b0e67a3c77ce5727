// Clocks, calendar time and the local time zone, with the home platform's types and semantics.
//
// The tick count is a 64-bit monotonic millisecond clock for deadlines; it never wraps. Wall time
// comes from clock_gettime and the local zone from the C library's zone database (localtime_r),
// so a conversion of a past or future date uses the rules in force at that date.
#pragma once

#include <cstdint>

#include "platform/last_error.h"

namespace win {

using WORD = uint16_t;
using LONG = int32_t;
using BOOL = int;
using ULONGLONG = uint64_t;

// Calendar fields in the Gregorian calendar; wDayOfWeek 0 = Sunday .. 6 = Saturday.
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// 100-nanosecond intervals since 1601-01-01 00:00 UTC, split in two 32-bit halves.
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// The local zone. Biases are in minutes with UTC = local time + bias, so a zone east of Greenwich
// has a negative bias. The transition dates are not carried: every conversion goes through the
// zone database for the date in question instead of one year's rule.
struct TIME_ZONE_INFORMATION {
  LONG Bias;                  // standard offset, negated
  char16_t StandardName[32];  // zone abbreviation, NUL-terminated
  LONG StandardBias;          // always 0
  char16_t DaylightName[32];
  LONG DaylightBias;          // daylight offset minus standard offset, negated; 0 without DST
};

constexpr DWORD TIME_ZONE_ID_UNKNOWN = 0;   // the zone has no daylight saving time
constexpr DWORD TIME_ZONE_ID_STANDARD = 1;
constexpr DWORD TIME_ZONE_ID_DAYLIGHT = 2;
constexpr DWORD TIME_ZONE_ID_INVALID = 0xFFFFFFFF;

// Milliseconds since an arbitrary fixed point (boot); monotonic, 64-bit, for deadlines.
ULONGLONG GetTickCount64();
// The low 32 bits of GetTickCount64. Wraps after 49.7 days: only for seeds, never for deadlines.
DWORD GetTickCount();

// The current time as UTC and as local calendar fields (milliseconds included).
void GetSystemTime(SYSTEMTIME* utc);
void GetLocalTime(SYSTEMTIME* local);
void GetSystemTimeAsFileTime(FILETIME* utc);

// FALSE with ERROR_INVALID_PARAMETER for fields outside 1601-01-01 .. 30827-12-31 23:59:59.999
// or a day the month does not have; wDayOfWeek is ignored on input and set on output.
BOOL SystemTimeToFileTime(const SYSTEMTIME* fields, FILETIME* out);
// FALSE with ERROR_INVALID_PARAMETER when the value is at or above 2^63.
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out);

// File time UTC -> local through the offset in force now (not the one at that date).
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);

// UTC <-> local through the zone's rules at that date. Only the current zone is supported:
// zone must be null (any other value fails with ERROR_NOT_SUPPORTED). A local time skipped by a
// forward change is read with the offset before the change; a repeated one with the earlier one.
BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                     SYSTEMTIME* local);
BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                     SYSTEMTIME* utc);

// The local zone's standard and daylight offsets; the result tells which one is in force now.
DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info);

}  // namespace win
