#include "foundation/date_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/support/case_name.h"

namespace {

using tw::ByteString;
using tw::DateFields;

constexpr int64_t kMin1601 = -11644473600000;     // 1601-01-01T00:00:00Z
constexpr int64_t kMax9999 = 253402300799999;     // 9999-12-31T23:59:59.999Z

using testsupport::ScopedTz;

DateFields Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0, int w = -1) {
  DateFields f;
  f.year = y;
  f.month = mo;
  f.day = d;
  f.hour = h;
  f.minute = mi;
  f.second = s;
  f.millisecond = ms;
  f.day_of_week = w;
  return f;
}

std::string Text(const DateFields& f) {
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d w%d", f.year, f.month, f.day,
                f.hour, f.minute, f.second, f.millisecond, f.day_of_week);
  return buf;
}

std::string Format(const char* pattern, const DateFields& f) {
  ByteString out;
  EXPECT_EQ(tw::FormatDateTime(&out, pattern, f), 0);
  return std::string(out.data(), out.length());
}

struct FormatCase {
  const char* pattern;
  DateFields fields;
  const char* want;
};

class FormatDateTimeTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatDateTimeTest, Formats) {
  ScopedTz tz("UTC");
  const FormatCase& c = GetParam();
  EXPECT_EQ(Format(c.pattern, c.fields), c.want) << c.pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, FormatDateTimeTest,
    ::testing::Values(
        FormatCase{"yyyy-MM-ddTHH:mm:ss", Make(2024, 3, 5, 7, 8, 9), "2024-03-05T07:08:09"},
        FormatCase{"ddd, dd MMM yyyy HH:mm:ss", Make(2024, 3, 5, 7, 8, 9, 0, 2),
                   "Tue, 05 Mar 2024 07:08:09"},
        FormatCase{"ddd, dd MMM yyyy HH:mm:ss", Make(2024, 3, 5, 7, 8, 9),
                   "ddd, 05 Mar 2024 07:08:09"},
        FormatCase{"ddd", Make(2024, 3, 5, 0, 0, 0, 0, 7), "ddd"},
        FormatCase{"h:mm tt", Make(2024, 1, 1, 0, 30), "0:30 AM"},
        FormatCase{"h:mm tt", Make(2024, 1, 1, 13, 5), "1:05 PM"},
        FormatCase{"hh:mm t", Make(2024, 1, 1, 12, 0), "12:00 PM"},
        FormatCase{"hh H HH", Make(2024, 1, 1, 23, 0), "11 23 23"},
        FormatCase{"yyy|yy|y", Make(987, 1, 1), "0987|87|87"},
        FormatCase{"M/d MM/dd", Make(2024, 3, 5), "3/5 03/05"},
        FormatCase{"MMMM MMM", Make(2024, 12, 5), "MMMM Dec"},
        FormatCase{"MMM", Make(2024, 13, 5), "MMM"},
        FormatCase{"dddd yyyyy", Make(2024, 3, 5, 0, 0, 0, 0, 2), "dddd yyyyy"},
        FormatCase{"f|ff|fff|ffff|fffff|ffffff", Make(2024, 1, 1, 0, 0, 0, 7),
                   "007|007|007|0070|fffff|007000"},
        FormatCase{"m:s mm:ss", Make(2024, 1, 1, 0, 4, 5), "4:5 04:05"},
        FormatCase{"z zz zzzz Z -T:", Make(2024, 1, 1), "z zz zzzz Z -T:"},
        FormatCase{"yyyyMMddHHmmss", Make(9999, 12, 31, 23, 59, 59), "99991231235959"},
        FormatCase{"", Make(2024, 1, 1), ""}),
    [](const auto& i) { const auto& p = i.param; return testsupport::MakeName(p.pattern, i.index); });

TEST(DateTime, FormatLongOutputAndNullPattern) {
  ByteString out;
  out.SetText("stale");
  EXPECT_EQ(tw::FormatDateTime(&out, nullptr, Make(2024, 1, 1)), 0);
  EXPECT_EQ(out.length(), 0);
  std::string pattern;
  for (int i = 0; i < 200; ++i) pattern += "MMM yyyy ";
  EXPECT_EQ(Format(pattern.c_str(), Make(2024, 2, 1)).size(), 200u * 9);
  std::string run(500, 'y');
  EXPECT_EQ(Format(run.c_str(), Make(2024, 2, 1)), run);
}

TEST(DateTime, ZoneTokenUsesTheOffsetOfThatDate) {
  {
    ScopedTz tz("America/New_York");
    EXPECT_EQ(Format("zzz", Make(2024, 1, 15, 12)), "-0500");
    EXPECT_EQ(Format("yyyy-MM-ddTHH:mm:sszzz", Make(2024, 7, 1, 12)), "2024-07-01T12:00:00-0400");
    // Either side of the spring change, and a date with the older April rule.
    EXPECT_EQ(Format("zzz", Make(2024, 3, 10, 1, 59, 59)), "-0500");
    EXPECT_EQ(Format("zzz", Make(2024, 3, 10, 3, 0, 0)), "-0400");
    EXPECT_EQ(Format("zzz", Make(2006, 3, 20, 12)), "-0500");
    // Not a date: the standard offset.
    EXPECT_EQ(Format("zzz", Make(2024, 2, 30, 12)), "-0500");
  }
  {
    ScopedTz tz("Asia/Kolkata");
    EXPECT_EQ(Format("zzz", Make(2024, 7, 1)), "+0530");
  }
  {
    ScopedTz tz("America/St_Johns");
    EXPECT_EQ(Format("zzz", Make(2024, 1, 1)), "-0330");
    EXPECT_EQ(Format("zzz", Make(2024, 7, 1)), "-0230");
  }
  {
    ScopedTz tz("UTC");
    EXPECT_EQ(Format("zzz", Make(2024, 7, 1)), "+0000");
  }
}

TEST(DateTime, StandardOffsetCarriesItsSign) {
  struct {
    const char* zone;
    int hours, minutes;
  } cases[] = {{"Asia/Kolkata", 5, 30},    {"America/New_York", -5, 0}, {"America/St_Johns", -3, -30},
               {"Asia/Kathmandu", 5, 45}, {"UTC", 0, 0},               {"Australia/Adelaide", 9, 30}};
  for (const auto& c : cases) {
    ScopedTz tz(c.zone);
    int h = 99, m = 99;
    tw::TimeZoneOffset(&h, &m);
    EXPECT_EQ(h, c.hours) << c.zone;
    EXPECT_EQ(m, c.minutes) << c.zone;
  }
}

TEST(DateTime, UtcToLocalTimeWithZoneRules) {
  ScopedTz tz("America/New_York");
  struct {
    DateFields utc;
    DateFields local;  // day of week filled in
  } cases[] = {
      {Make(2024, 7, 1, 12), Make(2024, 7, 1, 8, 0, 0, 0, 1)},
      {Make(2024, 1, 1, 3, 4, 5, 678), Make(2023, 12, 31, 22, 4, 5, 678, 0)},
      {Make(2024, 3, 10, 6, 59, 59, 999), Make(2024, 3, 10, 1, 59, 59, 999, 0)},
      {Make(2024, 3, 10, 7), Make(2024, 3, 10, 3, 0, 0, 0, 0)},
      {Make(2024, 11, 3, 5, 30), Make(2024, 11, 3, 1, 30, 0, 0, 0)},
      {Make(2024, 11, 3, 6, 30), Make(2024, 11, 3, 1, 30, 0, 0, 0)},
      {Make(1601, 1, 1, 12), Make(1601, 1, 1, 7, 3, 58, 0, 1)},  // local mean time
  };
  for (const auto& c : cases) {
    DateFields f = c.utc;
    int dow = -7;
    ASSERT_TRUE(tw::UtcToLocalTime(&f, &dow, true)) << Text(c.utc);
    EXPECT_EQ(Text(f), Text(c.local)) << Text(c.utc);
    EXPECT_EQ(dow, c.local.day_of_week);
  }
}

TEST(DateTime, UtcToLocalTimeWithoutRulesUsesTodaysOffset) {
  ScopedTz tz("America/New_York");
  DateFields winter = Make(2024, 1, 15, 12), summer = Make(2024, 7, 15, 12);
  ASSERT_TRUE(tw::UtcToLocalTime(&winter, nullptr, false));
  ASSERT_TRUE(tw::UtcToLocalTime(&summer, nullptr, false));
  EXPECT_EQ(winter.hour, summer.hour);
  EXPECT_TRUE(winter.hour == 7 || winter.hour == 8) << winter.hour;
}

TEST(DateTime, UtcToLocalTimeRejectsInvalidFields) {
  ScopedTz tz("Asia/Kolkata");
  const DateFields bad[] = {Make(2023, 2, 29), Make(2024, 0, 1), Make(2024, 1, 32),
                            Make(2024, 1, 1, 24), Make(2024, 1, 1, -1), Make(1600, 1, 1),
                            Make(-5, 1, 1), Make(70000, 1, 1), Make(2024, 1, 1, 0, 0, 0, 1000)};
  for (bool rules : {true, false}) {
    for (const DateFields& b : bad) {
      DateFields f = b;
      int dow = 42;
      EXPECT_FALSE(tw::UtcToLocalTime(&f, &dow, rules)) << Text(b);
      EXPECT_EQ(Text(f), Text(b));
      EXPECT_EQ(dow, 42);
    }
  }
}

TEST(DateTime, KolkataHasNoDaylightSaving) {
  ScopedTz tz("Asia/Kolkata");
  for (int month = 1; month <= 12; ++month) {
    DateFields f = Make(2024, month, 28, 20, 0);
    ASSERT_TRUE(tw::UtcToLocalTime(&f, nullptr, true));
    EXPECT_EQ(Text(f), Text(Make(2024, month, 29, 1, 30, 0, 0, f.day_of_week)));
  }
  DateFields end = Make(9999, 12, 31, 23, 59);
  ASSERT_TRUE(tw::UtcToLocalTime(&end, nullptr, true));
  EXPECT_EQ(end.year, 10000);
}

// Random millisecond values and field sets over 1601-9999 against python's datetime.
TEST(DateTime, RoundTripsMatchPython) {
  if (!testsupport::HavePython()) TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  std::mt19937_64 rng(20240305);
  std::vector<int64_t> values = {kMin1601, kMin1601 + 1, -1, 0, 1, 951782400000, kMax9999};
  for (int i = 0; i < 4000; ++i) {
    values.push_back(kMin1601 + static_cast<int64_t>(rng() % uint64_t(kMax9999 - kMin1601 + 1)));
  }
  std::ostringstream in;
  for (int64_t v : values) in << v << "\n";
  const std::string script =
      "import sys,datetime\n"
      "e=datetime.datetime(1970,1,1)\n"
      "for l in sys.stdin:\n"
      " d=e+datetime.timedelta(milliseconds=int(l))\n"
      " print(d.year,d.month,d.day,d.hour,d.minute,d.second,d.microsecond//1000,"
      "(d.weekday()+1)%7,d.strftime(\"%a %b %d %Y %H:%M:%S\"))\n";
  std::vector<std::string> lines;
  ASSERT_TRUE(testsupport::RunPython(script, in.str(), &lines));
  ASSERT_EQ(lines.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    std::istringstream line(lines[i]);
    DateFields want;
    ASSERT_TRUE(line >> want.year >> want.month >> want.day >> want.hour >> want.minute >>
                want.second >> want.millisecond >> want.day_of_week);
    std::string text;
    std::getline(line >> std::ws, text);
    DateFields got;
    ASSERT_TRUE(tw::UnixMillisToDate(values[i], &got)) << values[i];
    ASSERT_EQ(Text(got), Text(want)) << values[i];
    int64_t back = 0;
    ASSERT_TRUE(tw::DateToUnixMillis(want, &back));
    ASSERT_EQ(back, values[i]);
    ASSERT_EQ(Format("ddd MMM dd yyyy HH:mm:ss", got), text);
  }
}

// Hour and minute arithmetic across month, leap-day and year boundaries against python.
TEST(DateTime, AddingHoursAndMinutesMatchesPython) {
  if (!testsupport::HavePython()) TW_REQUIRE_OR_SKIP("/usr/bin/python3 not installed");
  std::mt19937_64 rng(77);
  struct Case {
    DateFields start;
    int64_t hours, minutes;
  };
  std::vector<Case> cases;
  for (int i = 0; i < 1500; ++i) {
    DateFields f;
    tw::UnixMillisToDate(-11000000000000 + int64_t(rng() % 260000000000000ull), &f);
    f.millisecond = 0;
    cases.push_back({f, int64_t(rng() % 400001) - 200000, int64_t(rng() % 20000001) - 10000000});
  }
  std::ostringstream in;
  for (const Case& c : cases) {
    in << c.start.year << " " << c.start.month << " " << c.start.day << " " << c.start.hour << " "
       << c.start.minute << " " << c.start.second << " " << c.hours << " " << c.minutes << "\n";
  }
  const std::string script =
      "import sys,datetime\n"
      "for l in sys.stdin:\n"
      " y,mo,d,h,mi,s,ah,am=map(int,l.split())\n"
      " a=datetime.datetime(y,mo,d,h)+datetime.timedelta(hours=ah)\n"
      " b=datetime.datetime(y,mo,d,h,mi,s)+datetime.timedelta(minutes=am)\n"
      " print(a.year,a.month,a.day,a.hour,b.year,b.month,b.day,b.hour,b.minute,b.second,"
      "(b.weekday()+1)%7)\n";
  std::vector<std::string> lines;
  ASSERT_TRUE(testsupport::RunPython(script, in.str(), &lines));
  ASSERT_EQ(lines.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    std::istringstream line(lines[i]);
    int ay, amo, ad, ah;
    DateFields b;
    b.millisecond = 0;
    ASSERT_TRUE(line >> ay >> amo >> ad >> ah >> b.year >> b.month >> b.day >> b.hour >>
                b.minute >> b.second >> b.day_of_week);
    const Case& c = cases[i];
    int y = c.start.year, mo = c.start.month, d = c.start.day, h = c.start.hour;
    ASSERT_TRUE(tw::AddHoursToDate(&y, &mo, &d, &h, c.hours));
    EXPECT_EQ(Text(Make(y, mo, d, h)), Text(Make(ay, amo, ad, ah))) << Text(c.start);
    DateFields f = c.start;
    ASSERT_TRUE(tw::AddMinutesToDateTime(&f, c.minutes));
    EXPECT_EQ(Text(f), Text(b)) << Text(c.start) << " + " << c.minutes;
  }
}

TEST(DateTime, ArithmeticOutOfRangeLeavesValuesAlone) {
  int y = 2024, mo = 1, d = 1, h = 0;
  EXPECT_FALSE(tw::AddHoursToDate(&y, &mo, &d, &h, INT64_MAX / 2));
  EXPECT_FALSE(tw::AddHoursToDate(&y, &mo, &d, &h, -4000000));  // before 1601
  EXPECT_EQ(Text(Make(y, mo, d, h)), Text(Make(2024, 1, 1)));
  y = 2023, mo = 2, d = 29;
  EXPECT_FALSE(tw::AddHoursToDate(&y, &mo, &d, &h, 1));
  DateFields f = Make(2024, 1, 1);
  EXPECT_FALSE(tw::AddMinutesToDateTime(&f, INT64_MIN));
  EXPECT_EQ(Text(f), Text(Make(2024, 1, 1)));
  DateFields out = Make(1, 2, 3);
  EXPECT_FALSE(tw::UnixMillisToDate(kMin1601 - 1, &out));
  EXPECT_FALSE(tw::UnixMillisToDate(INT64_MAX, &out));
  EXPECT_FALSE(tw::UnixMillisToDate(INT64_MIN, &out));
  EXPECT_EQ(Text(out), Text(Make(1, 2, 3)));
  ByteString text;
  EXPECT_NE(tw::FormatDateDaysFromNow(INT64_MAX, "yyyy", &text), 0);
  EXPECT_NE(tw::FormatDateDaysFromNow(-1000000, "yyyy", &text), 0);
}

TEST(DateTime, CurrentTimeForms) {
  const int64_t a = tw::UnixTimeMillisNow();
  DateFields now;
  tw::GetUtcNowFields(&now);
  const int64_t file_ms = tw::NowMilliseconds();
  const int64_t c = tw::CurrentFileTimeMillis();
  int64_t fields_ms = 0;
  ASSERT_TRUE(tw::DateToUnixMillis(now, &fields_ms));
  EXPECT_LE(a, fields_ms);
  EXPECT_LE(fields_ms, file_ms - tw::kEpochDeltaMillis);
  EXPECT_LE(file_ms - tw::kEpochDeltaMillis, c);
  EXPECT_GT(a, 1700000000000);  // after 2023
  DateFields check;
  ASSERT_TRUE(tw::UnixMillisToDate(fields_ms, &check));
  EXPECT_EQ(now.day_of_week, check.day_of_week);
}

TEST(DateTime, CompactStampAndDaysFromNow) {
  ByteString stamp;
  ByteString today, tomorrow, yesterday;
  DateFields before, after;
  for (int attempt = 0; attempt < 5; ++attempt) {
    tw::GetUtcNowFields(&before);
    EXPECT_EQ(tw::TimestampUtcCompact(&stamp), 0);
    EXPECT_EQ(tw::FormatDateDaysFromNow(0, "yyyyMMddHHmmss", &today), 0);
    EXPECT_EQ(tw::FormatDateDaysFromNow(1, "yyyyMMddHHmmss", &tomorrow), 0);
    EXPECT_EQ(tw::FormatDateDaysFromNow(-366, "yyyy-MM-dd", &yesterday), 0);
    tw::GetUtcNowFields(&after);
    if (before.second == after.second) break;
  }
  ASSERT_EQ(before.second, after.second);
  const std::string expect = Format("yyyyMMddHHmmss", before);
  EXPECT_EQ(std::string(stamp.data(), stamp.length()), expect + "Z");
  EXPECT_EQ(stamp.length(), 15);
  EXPECT_EQ(std::string(today.data(), today.length()), expect);
  DateFields next = before;
  ASSERT_TRUE(tw::AddMinutesToDateTime(&next, 1440));
  EXPECT_EQ(std::string(tomorrow.data(), tomorrow.length()), Format("yyyyMMddHHmmss", next));
  DateFields back = before;
  ASSERT_TRUE(tw::AddMinutesToDateTime(&back, -366 * 1440));
  EXPECT_EQ(std::string(yesterday.data(), yesterday.length()), Format("yyyy-MM-dd", back));
}

}  // namespace
