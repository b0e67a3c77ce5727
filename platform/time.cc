#include "platform/time.h"

#include <time.h>

#include <cstring>
#include <initializer_list>

namespace win {
namespace {

constexpr int64_t kMillisPerDay = 86400000;
constexpr int64_t kTicksPerMilli = 10000;  // file-time units of 100 ns
constexpr int64_t kTicksPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01, and the same span in milliseconds.
constexpr int64_t kDays1601To1970 = 134774;
constexpr int64_t kMillis1601To1970 = kDays1601To1970 * kMillisPerDay;
constexpr int kMaxYear = 30827;
// Samples taken either side of now to find the zone's standard and daylight offsets.
constexpr int64_t kZoneSampleStep = 15 * 86400;
constexpr int kZoneSamples = 25;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

uint64_t Join(const FILETIME& ft) {
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Split(uint64_t v, FILETIME* ft) {
  ft->dwLowDateTime = static_cast<DWORD>(v);
  ft->dwHighDateTime = static_cast<DWORD>(v >> 32);
}

bool FieldsToTicks(const SYSTEMTIME& st, int64_t* ticks) {
  if (st.wYear < 1601 || st.wYear > kMaxYear || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999) {
    return false;
  }
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDays1601To1970;
  const int64_t ms = days * kMillisPerDay +
                     ((st.wHour * 60 + st.wMinute) * 60 + st.wSecond) * int64_t{1000} +
                     st.wMilliseconds;
  *ticks = ms * kTicksPerMilli;
  return true;
}

bool TicksToFields(int64_t ticks, SYSTEMTIME* st) {
  if (ticks < 0) return false;
  const int64_t ms = ticks / kTicksPerMilli;
  const int64_t days = ms / kMillisPerDay;
  int64_t rest = ms % kMillisPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days - kDays1601To1970, &y, &m, &d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  st->wMilliseconds = static_cast<WORD>(rest % 1000);
  rest /= 1000;
  st->wSecond = static_cast<WORD>(rest % 60);
  rest /= 60;
  st->wMinute = static_cast<WORD>(rest % 60);
  st->wHour = static_cast<WORD>(rest / 60);
  return true;
}

int64_t NowTicks() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return (static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000 + kMillis1601To1970) *
         kTicksPerMilli;
}

int64_t TicksToUnixSeconds(int64_t ticks) {
  return FloorDiv(ticks, kTicksPerSecond) - kMillis1601To1970 / 1000;
}

// Offset from UTC in seconds (east positive) in force at a UTC instant.
bool OffsetAt(int64_t unix_seconds, long* offset, bool* dst, char* name, size_t name_size) {
  const time_t t = static_cast<time_t>(unix_seconds);
  tm parts;
  if (localtime_r(&t, &parts) == nullptr) return false;
  *offset = parts.tm_gmtoff;
  if (dst) *dst = parts.tm_isdst > 0;
  if (name && name_size) {
    name[0] = 0;
    if (parts.tm_zone) {
      std::strncpy(name, parts.tm_zone, name_size - 1);
      name[name_size - 1] = 0;
    }
  }
  return true;
}

bool OffsetAt(int64_t unix_seconds, long* offset) {
  return OffsetAt(unix_seconds, offset, nullptr, nullptr, 0);
}

bool ShiftTicks(int64_t ticks, int64_t seconds, int64_t* out) {
  const int64_t delta = seconds * kTicksPerSecond;
  if (delta > 0 && ticks > INT64_MAX - delta) return false;
  *out = ticks + delta;
  return *out >= 0;
}

void Widen(const char* text, char16_t* out, size_t size) {
  size_t i = 0;
  for (; text[i] && i + 1 < size; ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[i] = 0;
}

}  // namespace

ULONGLONG GetTickCount64() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<ULONGLONG>(ts.tv_sec) * 1000 + static_cast<ULONGLONG>(ts.tv_nsec) / 1000000;
}

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void GetSystemTimeAsFileTime(FILETIME* utc) { Split(static_cast<uint64_t>(NowTicks()), utc); }

void GetSystemTime(SYSTEMTIME* utc) { TicksToFields(NowTicks(), utc); }

void GetLocalTime(SYSTEMTIME* local) {
  const int64_t now = NowTicks();
  long offset = 0;
  int64_t shifted = now;
  if (!OffsetAt(TicksToUnixSeconds(now), &offset) || !ShiftTicks(now, offset, &shifted)) {
    shifted = now;
  }
  TicksToFields(shifted, local);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* fields, FILETIME* out) {
  int64_t ticks;
  if (fields == nullptr || out == nullptr || !FieldsToTicks(*fields, &ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Split(static_cast<uint64_t>(ticks), out);
  return 1;
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out) {
  if (time == nullptr || out == nullptr || Join(*time) > static_cast<uint64_t>(INT64_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TicksToFields(static_cast<int64_t>(Join(*time)), out);
  return 1;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
  if (utc == nullptr || local == nullptr || Join(*utc) > static_cast<uint64_t>(INT64_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  long offset;
  int64_t shifted;
  if (!OffsetAt(TicksToUnixSeconds(NowTicks()), &offset) ||
      !ShiftTicks(static_cast<int64_t>(Join(*utc)), offset, &shifted)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Split(static_cast<uint64_t>(shifted), local);
  return 1;
}

BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* utc,
                                     SYSTEMTIME* local) {
  if (zone != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  int64_t ticks, shifted;
  long offset;
  if (utc == nullptr || local == nullptr || !FieldsToTicks(*utc, &ticks) ||
      !OffsetAt(TicksToUnixSeconds(ticks), &offset) || !ShiftTicks(ticks, offset, &shifted)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TicksToFields(shifted, local);
  return 1;
}

BOOL TzSpecificLocalTimeToSystemTime(const TIME_ZONE_INFORMATION* zone, const SYSTEMTIME* local,
                                     SYSTEMTIME* utc) {
  if (zone != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  int64_t ticks;
  if (local == nullptr || utc == nullptr || !FieldsToTicks(*local, &ticks)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The offsets a day before and a day after bracket any one change; a candidate is right when
  // the zone agrees with the offset it was made with.
  const int64_t wall = TicksToUnixSeconds(ticks);
  long before, after;
  if (!OffsetAt(wall - 86400, &before) || !OffsetAt(wall + 86400, &after)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  long check;
  const bool before_fits = OffsetAt(wall - before, &check) && check == before;
  const bool after_fits = OffsetAt(wall - after, &check) && check == after;
  long offset = before;  // also the reading of a skipped local time
  if (before_fits && after_fits) {
    offset = before > after ? before : after;  // the larger offset is the earlier instant
  } else if (after_fits) {
    offset = after;
  }
  int64_t shifted;
  if (!ShiftTicks(ticks, -offset, &shifted)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TicksToFields(shifted, utc);
  return 1;
}

DWORD GetTimeZoneInformation(TIME_ZONE_INFORMATION* info) {
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  std::memset(info, 0, sizeof *info);
  const int64_t now = TicksToUnixSeconds(NowTicks());
  long now_offset;
  bool now_dst;
  char now_name[32];
  if (!OffsetAt(now, &now_offset, &now_dst, now_name, sizeof now_name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return TIME_ZONE_ID_INVALID;
  }
  // Nearest samples to now, walking outwards, that are in standard and in daylight time.
  bool have_std = !now_dst, have_dst = now_dst;
  long std_offset = now_offset, dst_offset = now_offset;
  char std_name[32], dst_name[32];
  std::strcpy(now_dst ? dst_name : std_name, now_name);
  for (int k = 1; k <= kZoneSamples && !(have_std && have_dst); ++k) {
    for (int sign : {-1, 1}) {
      long offset;
      bool dst;
      char name[32];
      if (!OffsetAt(now + sign * k * kZoneSampleStep, &offset, &dst, name, sizeof name)) continue;
      if (dst && !have_dst) {
        have_dst = true;
        dst_offset = offset;
        std::strcpy(dst_name, name);
      } else if (!dst && !have_std) {
        have_std = true;
        std_offset = offset;
        std::strcpy(std_name, name);
      }
    }
  }
  if (!have_std) std::strcpy(std_name, now_name);
  info->Bias = static_cast<LONG>(-std_offset / 60);
  info->StandardBias = 0;
  Widen(std_name, info->StandardName, 32);
  if (!have_dst) {
    Widen(std_name, info->DaylightName, 32);
    return TIME_ZONE_ID_UNKNOWN;
  }
  info->DaylightBias = static_cast<LONG>(-(dst_offset - std_offset) / 60);
  Widen(dst_name, info->DaylightName, 32);
  return now_dst ? TIME_ZONE_ID_DAYLIGHT : TIME_ZONE_ID_STANDARD;
}

}  // namespace win
