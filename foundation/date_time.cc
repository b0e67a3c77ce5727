#include "foundation/date_time.h"

#include <cstring>

#include "platform/time.h"

namespace tw {
namespace {

constexpr int kErrInvalidValue = 202;
constexpr int64_t kMillisPerMinute = 60000;
constexpr int64_t kMillisPerHour = 3600000;
constexpr int64_t kMillisPerDay = 86400000;
constexpr int64_t kFileTimePerMilli = 10000;
constexpr const char* kCompactPattern = "yyyyMMddHHmmss";

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

enum class Field { kYear2, kYear4, kMonth, kMonthName, kDay, kDayName, kHour12, kHour, kMinute,
                   kSecond, kAmPm, kZone, kMillis6, kMillis4, kMillis3 };

struct Token {
  const char* run;
  Field field;
  int width;  // 0 plain "%d", else zero-padded to this many digits
};

// Tried in order; a run of the pattern must equal the token exactly.
constexpr Token kTokens[] = {
    {"y", Field::kYear2, 2},     {"yy", Field::kYear2, 2},      {"yyy", Field::kYear4, 4},
    {"yyyy", Field::kYear4, 4},  {"M", Field::kMonth, 0},       {"MM", Field::kMonth, 2},
    {"MMM", Field::kMonthName, 0}, {"d", Field::kDay, 0},       {"dd", Field::kDay, 2},
    {"ddd", Field::kDayName, 0}, {"h", Field::kHour12, 0},      {"hh", Field::kHour12, 2},
    {"H", Field::kHour, 0},      {"HH", Field::kHour, 2},       {"m", Field::kMinute, 0},
    {"mm", Field::kMinute, 2},   {"s", Field::kSecond, 0},      {"ss", Field::kSecond, 2},
    {"t", Field::kAmPm, 0},      {"tt", Field::kAmPm, 0},       {"zzz", Field::kZone, 0},
    {"ffffff", Field::kMillis6, 3}, {"ffff", Field::kMillis4, 3}, {"f", Field::kMillis3, 3},
    {"ff", Field::kMillis3, 3},  {"fff", Field::kMillis3, 3},
};

bool ToSystemTime(const DateFields& f, win::SYSTEMTIME* st) {
  auto fits = [](int v) { return v >= 0 && v <= 0xFFFF; };
  if (!fits(f.year) || !fits(f.month) || !fits(f.day) || !fits(f.hour) || !fits(f.minute) ||
      !fits(f.second) || !fits(f.millisecond)) {
    return false;
  }
  st->wYear = static_cast<win::WORD>(f.year);
  st->wMonth = static_cast<win::WORD>(f.month);
  st->wDayOfWeek = 0;
  st->wDay = static_cast<win::WORD>(f.day);
  st->wHour = static_cast<win::WORD>(f.hour);
  st->wMinute = static_cast<win::WORD>(f.minute);
  st->wSecond = static_cast<win::WORD>(f.second);
  st->wMilliseconds = static_cast<win::WORD>(f.millisecond);
  return true;
}

void FromSystemTime(const win::SYSTEMTIME& st, DateFields* f) {
  f->year = st.wYear;
  f->month = st.wMonth;
  f->day = st.wDay;
  f->hour = st.wHour;
  f->minute = st.wMinute;
  f->second = st.wSecond;
  f->millisecond = st.wMilliseconds;
  f->day_of_week = st.wDayOfWeek;
}

int64_t FileTimeValue(const win::FILETIME& ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

win::FILETIME MakeFileTime(int64_t v) {
  win::FILETIME ft;
  ft.dwLowDateTime = static_cast<win::DWORD>(static_cast<uint64_t>(v));
  ft.dwHighDateTime = static_cast<win::DWORD>(static_cast<uint64_t>(v) >> 32);
  return ft;
}

// Milliseconds since 1601 of fields in any zone; false when they are not a valid date.
bool FieldsToFileMillis(const DateFields& f, int64_t* ms) {
  win::SYSTEMTIME st;
  win::FILETIME ft;
  if (!ToSystemTime(f, &st) || !win::SystemTimeToFileTime(&st, &ft)) return false;
  *ms = FileTimeValue(ft) / kFileTimePerMilli;
  return true;
}

// Adds a span to a date through milliseconds since 1970.
bool AddMillis(DateFields* f, int64_t count, int64_t unit) {
  int64_t ms, delta, sum;
  DateFields result;
  if (!DateToUnixMillis(*f, &ms) || __builtin_mul_overflow(count, unit, &delta) ||
      __builtin_add_overflow(ms, delta, &sum) || !UnixMillisToDate(sum, &result)) {
    return false;
  }
  *f = result;
  return true;
}

void AppendNumber(ByteString* out, int value, int width) {
  switch (width) {
    case 2: out->AppendFormat("%02d", value); break;
    case 3: out->AppendFormat("%03d", value); break;
    case 4: out->AppendFormat("%04d", value); break;
    default: out->AppendFormat("%d", value); break;
  }
}

// Writes one run; false when no token takes it.
bool AppendToken(ByteString* out, const char* run, int n, int year, int month, int day, int hour,
                 int minute, int second, int millisecond, int day_of_week) {
  for (const Token& token : kTokens) {
    if (static_cast<int>(std::strlen(token.run)) != n || std::memcmp(token.run, run, n) != 0) {
      continue;
    }
    switch (token.field) {
      case Field::kYear2: AppendNumber(out, year % 100, 2); return true;
      case Field::kYear4: AppendNumber(out, year, 4); return true;
      case Field::kMonth: AppendNumber(out, month, token.width); return true;
      case Field::kMonthName:
        if (const char* name = MonthName(month)) {
          out->AppendText(name);
          return true;
        }
        continue;
      case Field::kDay: AppendNumber(out, day, token.width); return true;
      case Field::kDayName:
        if (const char* name = DayName(day_of_week)) {
          out->AppendText(name);
          return true;
        }
        continue;
      case Field::kHour12: AppendNumber(out, hour > 12 ? hour - 12 : hour, token.width); return true;
      case Field::kHour: AppendNumber(out, hour, token.width); return true;
      case Field::kMinute: AppendNumber(out, minute, token.width); return true;
      case Field::kSecond: AppendNumber(out, second, token.width); return true;
      case Field::kAmPm: out->AppendText(hour < 12 ? "AM" : "PM"); return true;
      case Field::kZone: {
        DateFields local;
        local.year = year;
        local.month = month;
        local.day = day;
        local.hour = hour;
        local.minute = minute;
        local.second = second;
        local.millisecond = millisecond >= 0 && millisecond <= 999 ? millisecond : 0;
        const int offset = LocalOffsetMinutesAt(local);
        const int magnitude = offset < 0 ? -offset : offset;
        out->AppendText(offset < 0 ? "-" : "+");
        AppendNumber(out, magnitude / 60, 2);
        AppendNumber(out, magnitude % 60, 2);
        return true;
      }
      case Field::kMillis6:
        AppendNumber(out, millisecond, 3);
        out->AppendText("000");
        return true;
      case Field::kMillis4:
        AppendNumber(out, millisecond, 3);
        out->AppendText("0");
        return true;
      case Field::kMillis3: AppendNumber(out, millisecond, 3); return true;
    }
  }
  return false;
}

}  // namespace

const char* DayName(int day_of_week) {
  return day_of_week >= 0 && day_of_week <= 6 ? kDayNames[day_of_week] : nullptr;
}

const char* MonthName(int month) {
  return month >= 1 && month <= 12 ? kMonthNames[month - 1] : nullptr;
}

void GetUtcNowFields(DateFields* out) {
  win::SYSTEMTIME st;
  win::GetSystemTime(&st);
  FromSystemTime(st, out);
}

int64_t UnixTimeMillisNow() {
  win::FILETIME ft;
  win::GetSystemTimeAsFileTime(&ft);
  return (FileTimeValue(ft) - kEpochDeltaFileTime) / kFileTimePerMilli;
}

int64_t NowMilliseconds() {
  win::SYSTEMTIME st;
  win::FILETIME ft;
  win::GetSystemTime(&st);
  if (!win::SystemTimeToFileTime(&st, &ft)) return static_cast<int64_t>(win::GetTickCount64());
  return FileTimeValue(ft) / kFileTimePerMilli;
}

int64_t CurrentFileTimeMillis() { return UnixTimeMillisNow(); }

bool DateToUnixMillis(const DateFields& fields, int64_t* out) {
  int64_t ms;
  if (!FieldsToFileMillis(fields, &ms)) return false;
  *out = ms - kEpochDeltaMillis;
  return true;
}

bool UnixMillisToDate(int64_t ms, DateFields* out) {
  int64_t scaled, value;
  if (__builtin_mul_overflow(ms, kFileTimePerMilli, &scaled) ||
      __builtin_add_overflow(scaled, kEpochDeltaFileTime, &value) || value < 0) {
    return false;
  }
  const win::FILETIME ft = MakeFileTime(value);
  win::SYSTEMTIME st;
  if (!win::FileTimeToSystemTime(&ft, &st)) return false;
  FromSystemTime(st, out);
  return true;
}

bool UtcToLocalTime(DateFields* fields, int* day_of_week, bool use_time_zone) {
  win::SYSTEMTIME utc, local;
  win::FILETIME ft;
  if (!ToSystemTime(*fields, &utc) || !win::SystemTimeToFileTime(&utc, &ft)) return false;
  if (!use_time_zone || !win::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
    win::FILETIME local_ft;
    if (!win::FileTimeToLocalFileTime(&ft, &local_ft) ||
        !win::FileTimeToSystemTime(&local_ft, &local)) {
      return false;
    }
  }
  FromSystemTime(local, fields);
  if (day_of_week) *day_of_week = local.wDayOfWeek;
  return true;
}

int StandardOffsetMinutes() {
  win::TIME_ZONE_INFORMATION info;
  if (win::GetTimeZoneInformation(&info) == win::TIME_ZONE_ID_INVALID) return 0;
  return -(info.Bias + info.StandardBias);
}

void TimeZoneOffset(int* hours, int* minutes) {
  const int offset = StandardOffsetMinutes();
  *hours = offset / 60;
  *minutes = offset % 60;
}

int LocalOffsetMinutesAt(const DateFields& local) {
  win::SYSTEMTIME local_st, utc_st;
  win::FILETIME local_ft, utc_ft;
  if (!ToSystemTime(local, &local_st) || !win::SystemTimeToFileTime(&local_st, &local_ft) ||
      !win::TzSpecificLocalTimeToSystemTime(nullptr, &local_st, &utc_st) ||
      !win::SystemTimeToFileTime(&utc_st, &utc_ft)) {
    return StandardOffsetMinutes();
  }
  return static_cast<int>((FileTimeValue(local_ft) - FileTimeValue(utc_ft)) /
                          (kFileTimePerMilli * kMillisPerMinute));
}

bool AddHoursToDate(int* year, int* month, int* day, int* hour, int64_t hours) {
  DateFields f;
  f.year = *year;
  f.month = *month;
  f.day = *day;
  f.hour = *hour;
  if (!AddMillis(&f, hours, kMillisPerHour)) return false;
  *year = f.year;
  *month = f.month;
  *day = f.day;
  *hour = f.hour;
  return true;
}

bool AddMinutesToDateTime(DateFields* fields, int64_t minutes) {
  return AddMillis(fields, minutes, kMillisPerMinute);
}

int FormatDateTime(ByteString* out, const char* pattern, int year, int month, int day, int hour,
                   int minute, int second, int millisecond, int day_of_week) {
  out->SetData(0, nullptr);
  if (pattern == nullptr) return 0;
  for (const char* p = pattern; *p;) {
    const char* end = p + 1;
    while (*end == *p) ++end;
    const int n = static_cast<int>(end - p);
    if (!AppendToken(out, p, n, year, month, day, hour, minute, second, millisecond,
                     day_of_week)) {
      out->Append(p, n);
    }
    p = end;
  }
  return 0;
}

int FormatDateTime(ByteString* out, const char* pattern, const DateFields& f) {
  return FormatDateTime(out, pattern, f.year, f.month, f.day, f.hour, f.minute, f.second,
                        f.millisecond, f.day_of_week);
}

int FormatDateTimeNoZone(ByteString* out, const char* pattern, int year, int month, int day,
                         int hour, int minute, int second, int millisecond) {
  return FormatDateTime(out, pattern, year, month, day, hour, minute, second, millisecond, -1);
}

int FormatDateDaysFromNow(int64_t days, const char* pattern, ByteString* out) {
  DateFields f;
  GetUtcNowFields(&f);
  if (!AddMillis(&f, days, kMillisPerDay)) {
    out->SetData(0, nullptr);
    return kErrInvalidValue;
  }
  return FormatDateTime(out, pattern, f);
}

int TimestampUtcCompact(ByteString* out) {
  DateFields f;
  GetUtcNowFields(&f);
  FormatDateTime(out, kCompactPattern, f);
  out->AppendText("Z");
  return 0;
}

}  // namespace tw
