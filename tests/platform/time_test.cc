#include "platform/time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using win::FILETIME;
using win::SYSTEMTIME;

constexpr int64_t kTicksPerMilli = 10000;
constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kUnixEpochTicks = 116444736000000000;

using testsupport::ScopedTz;

SYSTEMTIME Fields(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  SYSTEMTIME st{};
  st.wYear = static_cast<win::WORD>(y);
  st.wMonth = static_cast<win::WORD>(mo);
  st.wDay = static_cast<win::WORD>(d);
  st.wHour = static_cast<win::WORD>(h);
  st.wMinute = static_cast<win::WORD>(mi);
  st.wSecond = static_cast<win::WORD>(s);
  st.wMilliseconds = static_cast<win::WORD>(ms);
  return st;
}

FILETIME MakeFt(uint64_t v) { return FILETIME{static_cast<win::DWORD>(v), static_cast<win::DWORD>(v >> 32)}; }
uint64_t FtValue(const FILETIME& ft) { return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime; }

std::string Text(const SYSTEMTIME& st) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%d-%d-%d %d:%d:%d.%d w%d", st.wYear, st.wMonth, st.wDay,
                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
  return buf;
}

TEST(PlatformTime, FileTimeKnownAnswers) {
  SYSTEMTIME st;
  FILETIME ft = MakeFt(0);
  ASSERT_TRUE(win::FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(Text(st), "1601-1-1 0:0:0.0 w1");
  ft = MakeFt(kUnixEpochTicks);
  ASSERT_TRUE(win::FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(Text(st), "1970-1-1 0:0:0.0 w4");
  // The last representable instant.
  ft = MakeFt(0x7FFFFFFFFFFFFFFFull);
  ASSERT_TRUE(win::FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(Text(st), "30828-9-14 2:48:5.477 w4");
  ft = MakeFt(0x8000000000000000ull);
  win::SetLastError(0);
  EXPECT_FALSE(win::FileTimeToSystemTime(&ft, &st));
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);

  SYSTEMTIME in = Fields(2000, 2, 29, 23, 59, 59, 999);
  ASSERT_TRUE(win::SystemTimeToFileTime(&in, &ft));
  // 2000-03-01T00:00:00Z is 951868800 s after 1970.
  EXPECT_EQ(FtValue(ft) + kTicksPerMilli, uint64_t(kUnixEpochTicks + 951868800 * kTicksPerSecond));
}

TEST(PlatformTime, RejectsFieldsThatAreNotADate) {
  const SYSTEMTIME bad[] = {
      Fields(1600, 12, 31), Fields(30828, 1, 1), Fields(1900, 2, 29), Fields(2023, 2, 29),
      Fields(2024, 4, 31),  Fields(2024, 0, 1),  Fields(2024, 13, 1), Fields(2024, 1, 0),
      Fields(2024, 1, 1, 24), Fields(2024, 1, 1, 0, 60), Fields(2024, 1, 1, 0, 0, 60),
      Fields(2024, 1, 1, 0, 0, 0, 1000),
  };
  for (const SYSTEMTIME& st : bad) {
    FILETIME ft = MakeFt(12345);
    win::SetLastError(0);
    EXPECT_FALSE(win::SystemTimeToFileTime(&st, &ft)) << Text(st);
    EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(FtValue(ft), 12345u);
    SYSTEMTIME out{};
    EXPECT_FALSE(win::SystemTimeToTzSpecificLocalTime(nullptr, &st, &out)) << Text(st);
    EXPECT_FALSE(win::TzSpecificLocalTimeToSystemTime(nullptr, &st, &out)) << Text(st);
  }
  SYSTEMTIME leap = Fields(2000, 2, 29), top = Fields(30827, 12, 31, 23, 59, 59, 999);
  FILETIME ft;
  EXPECT_TRUE(win::SystemTimeToFileTime(&leap, &ft));
  EXPECT_TRUE(win::SystemTimeToFileTime(&top, &ft));
}

// Random file times from 1601 to 9999 against python's calendar.
TEST(PlatformTime, FileTimeMatchesPythonCalendar) {
  if (!testsupport::HavePython()) TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  std::mt19937_64 rng(0x7157);
  const uint64_t top = 2650467743999999999ull;  // 9999-12-31T23:59:59.9999999Z
  std::vector<uint64_t> values = {0, 1, kUnixEpochTicks, top};
  for (int i = 0; i < 3000; ++i) values.push_back(rng() % (top + 1));
  std::ostringstream in;
  for (uint64_t v : values) in << v << "\n";
  const std::string script =
      "import sys,datetime\n"
      "b=datetime.datetime(1601,1,1)\n"
      "for l in sys.stdin:\n"
      " t=int(l)\n"
      " d=b+datetime.timedelta(microseconds=t//10)\n"
      " print(d.year,d.month,d.day,d.hour,d.minute,d.second,d.microsecond//1000,"
      "(d.weekday()+1)%7)\n";
  int status = -1;
  const std::string out = testsupport::RunCommand(std::string(testsupport::kPython) + " -c '" + script + "'", in.str(), &status);
  ASSERT_EQ(status, 0);
  std::istringstream lines(out);
  for (uint64_t v : values) {
    int y, mo, d, h, mi, s, ms, w;
    ASSERT_TRUE(lines >> y >> mo >> d >> h >> mi >> s >> ms >> w);
    FILETIME ft = MakeFt(v);
    SYSTEMTIME st;
    ASSERT_TRUE(win::FileTimeToSystemTime(&ft, &st));
    SYSTEMTIME want = Fields(y, mo, d, h, mi, s, ms);
    want.wDayOfWeek = static_cast<win::WORD>(w);
    ASSERT_EQ(Text(st), Text(want)) << v;
    FILETIME back;
    ASSERT_TRUE(win::SystemTimeToFileTime(&st, &back));
    ASSERT_EQ(FtValue(back), v - v % kTicksPerMilli);
  }
}

TEST(PlatformTime, TickCountIsSixtyFourBitAndMonotonic) {
  win::ULONGLONG last = win::GetTickCount64();
  for (int i = 0; i < 1000; ++i) {
    const win::ULONGLONG now = win::GetTickCount64();
    ASSERT_GE(now, last);
    last = now;
  }
  const win::ULONGLONG before = win::GetTickCount64();
  const win::DWORD low = win::GetTickCount();
  const win::ULONGLONG after = win::GetTickCount64();
  EXPECT_LE(static_cast<win::DWORD>(low - static_cast<win::DWORD>(before)), after - before);
}

TEST(PlatformTime, LocalTimeIsUtcPlusZoneOffset) {
  ScopedTz tz("Asia/Kolkata");
  for (int attempt = 0; attempt < 5; ++attempt) {
    SYSTEMTIME utc, local;
    win::GetSystemTime(&utc);
    win::GetLocalTime(&local);
    FILETIME a, b;
    ASSERT_TRUE(win::SystemTimeToFileTime(&utc, &a));
    ASSERT_TRUE(win::SystemTimeToFileTime(&local, &b));
    const int64_t delta = static_cast<int64_t>(FtValue(b) - FtValue(a)) - 330 * 60 * kTicksPerSecond;
    if (delta >= 0 && delta < kTicksPerSecond) return;
  }
  FAIL() << "local time is not UTC + 5:30";
}

TEST(PlatformTime, ZoneInformation) {
  {
    ScopedTz tz("Asia/Kolkata");
    win::TIME_ZONE_INFORMATION info;
    EXPECT_EQ(win::GetTimeZoneInformation(&info), win::TIME_ZONE_ID_UNKNOWN);
    EXPECT_EQ(info.Bias, -330);
    EXPECT_EQ(info.StandardBias, 0);
    EXPECT_EQ(info.DaylightBias, 0);
    EXPECT_EQ(std::u16string(info.StandardName), u"IST");
  }
  {
    ScopedTz tz("America/New_York");
    win::TIME_ZONE_INFORMATION info;
    const win::DWORD id = win::GetTimeZoneInformation(&info);
    EXPECT_TRUE(id == win::TIME_ZONE_ID_STANDARD || id == win::TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(info.Bias, 300);
    EXPECT_EQ(info.DaylightBias, -60);
    EXPECT_EQ(std::u16string(info.StandardName), u"EST");
    EXPECT_EQ(std::u16string(info.DaylightName), u"EDT");
  }
  {
    ScopedTz tz("America/St_Johns");
    win::TIME_ZONE_INFORMATION info;
    win::GetTimeZoneInformation(&info);
    EXPECT_EQ(info.Bias, 210);
  }
}

struct ZoneCase {
  SYSTEMTIME utc;
  SYSTEMTIME local;
};

TEST(PlatformTime, NewYorkChangesFollowTheRulesOfTheDate) {
  ScopedTz tz("America/New_York");
  const ZoneCase cases[] = {
      {Fields(2024, 3, 10, 6, 59, 59, 999), Fields(2024, 3, 10, 1, 59, 59, 999)},
      {Fields(2024, 3, 10, 7, 0, 0), Fields(2024, 3, 10, 3, 0, 0)},
      {Fields(2024, 11, 3, 5, 59, 59), Fields(2024, 11, 3, 1, 59, 59)},
      {Fields(2024, 11, 3, 6, 0, 0), Fields(2024, 11, 3, 1, 0, 0)},
      // 2006 still had the April start: mid-March was standard time.
      {Fields(2006, 3, 15, 12, 0, 0), Fields(2006, 3, 15, 7, 0, 0)},
      {Fields(2007, 3, 15, 12, 0, 0), Fields(2007, 3, 15, 8, 0, 0)},
      // Across midnight and the year end.
      {Fields(2025, 1, 1, 3, 0, 0), Fields(2024, 12, 31, 22, 0, 0)},
  };
  for (const ZoneCase& c : cases) {
    SYSTEMTIME local;
    ASSERT_TRUE(win::SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &local)) << Text(c.utc);
    SYSTEMTIME want = c.local;
    FILETIME ft;
    win::SystemTimeToFileTime(&want, &ft);
    win::FileTimeToSystemTime(&ft, &want);  // fills the day of the week
    EXPECT_EQ(Text(local), Text(want)) << Text(c.utc);
  }
  // Local -> UTC: a skipped time is read with the offset before the change, a repeated one as
  // its first occurrence.
  SYSTEMTIME utc;
  SYSTEMTIME skipped = Fields(2024, 3, 10, 2, 30, 0);
  ASSERT_TRUE(win::TzSpecificLocalTimeToSystemTime(nullptr, &skipped, &utc));
  EXPECT_EQ(utc.wHour, 7);
  EXPECT_EQ(utc.wMinute, 30);
  SYSTEMTIME repeated = Fields(2024, 11, 3, 1, 30, 0);
  ASSERT_TRUE(win::TzSpecificLocalTimeToSystemTime(nullptr, &repeated, &utc));
  EXPECT_EQ(utc.wHour, 5);
  SYSTEMTIME after = Fields(2024, 11, 3, 2, 0, 0);
  ASSERT_TRUE(win::TzSpecificLocalTimeToSystemTime(nullptr, &after, &utc));
  EXPECT_EQ(utc.wHour, 7);

  win::TIME_ZONE_INFORMATION info{};
  win::SetLastError(0);
  EXPECT_FALSE(win::SystemTimeToTzSpecificLocalTime(&info, &cases[0].utc, &utc));
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_SUPPORTED);
}

// Random instants in both directions against python's zoneinfo (fold 0 has the same reading of
// skipped and repeated local times).
TEST(PlatformTime, ZoneConversionsMatchPython) {
  if (!testsupport::HavePython()) TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  for (const char* zone : {"America/New_York", "Asia/Kolkata"}) {
    ScopedTz tz(zone);
    std::mt19937_64 rng(42);
    std::vector<int64_t> seconds;
    // 1900 to 2100, plus the seconds around the 2024 New York changes.
    for (int i = 0; i < 1500; ++i) seconds.push_back(int64_t(rng() % 6311433600ull) - 2208988800);
    for (int64_t t : {int64_t{1710053999}, int64_t{1710054000}, int64_t{1730613599},
                      int64_t{1730613600}, int64_t{1730609999}}) {
      seconds.push_back(t);
    }
    std::ostringstream in;
    for (int64_t t : seconds) in << t << "\n";
    const std::string script =
        "import sys,datetime,zoneinfo\n"
        "z=zoneinfo.ZoneInfo(sys.argv[1])\n"
        "e=datetime.datetime(1970,1,1,tzinfo=datetime.timezone.utc)\n"
        "for l in sys.stdin:\n"
        " d=(e+datetime.timedelta(seconds=int(l))).astimezone(z)\n"
        " w=d.replace(tzinfo=None)\n"
        " u=int((w.replace(tzinfo=z,fold=0)-e).total_seconds())\n"
        " print(d.year,d.month,d.day,d.hour,d.minute,d.second,u)\n";
    int status = -1;
    const std::string out = testsupport::RunCommand(
        std::string(testsupport::kPython) + " -c '" + script + "' " + zone, in.str(), &status);
    ASSERT_EQ(status, 0) << zone;
    std::istringstream lines(out);
    for (int64_t t : seconds) {
      int y, mo, d, h, mi, s;
      int64_t back_seconds;
      ASSERT_TRUE(lines >> y >> mo >> d >> h >> mi >> s >> back_seconds);
      FILETIME ft = MakeFt(uint64_t(kUnixEpochTicks + t * kTicksPerSecond));
      SYSTEMTIME utc, local, back;
      ASSERT_TRUE(win::FileTimeToSystemTime(&ft, &utc));
      ASSERT_TRUE(win::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local));
      EXPECT_EQ(local.wYear, y) << zone << " " << t;
      EXPECT_EQ(local.wMonth, mo) << zone << " " << t;
      EXPECT_EQ(local.wDay, d) << zone << " " << t;
      EXPECT_EQ(local.wHour, h) << zone << " " << t;
      EXPECT_EQ(local.wMinute, mi) << zone << " " << t;
      EXPECT_EQ(local.wSecond, s) << zone << " " << t;
      ASSERT_TRUE(win::TzSpecificLocalTimeToSystemTime(nullptr, &local, &back));
      FILETIME back_ft;
      ASSERT_TRUE(win::SystemTimeToFileTime(&back, &back_ft));
      EXPECT_EQ((int64_t(FtValue(back_ft)) - kUnixEpochTicks) / kTicksPerSecond, back_seconds)
          << zone << " " << t;
    }
  }
}

}  // namespace
