#include "velna/time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace velna::time;
namespace chr = std::chrono;

// The standard library's calendar is the independent reference for the day
// arithmetic, over more than a thousand years each side of the epoch.
TEST(Calendar, DayNumbersMatchTheStandardCalendar) {
  for (std::int64_t z = -800000; z <= 800000; z += 997) {
    chr::year_month_day ymd{chr::sys_days{chr::days{z}}};
    const CivilDate c = civil_from_days(z);
    ASSERT_EQ(c.year, static_cast<int>(ymd.year())) << z;
    ASSERT_EQ(c.month, static_cast<int>(static_cast<unsigned>(ymd.month()))) << z;
    ASSERT_EQ(c.day, static_cast<int>(static_cast<unsigned>(ymd.day()))) << z;
    ASSERT_EQ(days_from_civil(c.year, c.month, c.day), z);
    ASSERT_EQ(iso_weekday(z),
              static_cast<int>(chr::weekday{chr::sys_days{chr::days{z}}}.iso_encoding()));
  }
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(days_from_civil(2000, 3, 1), 11017);
}

TEST(Calendar, LeapYearsAndIsoWeeks) {
  EXPECT_TRUE(is_leap(2000));
  EXPECT_FALSE(is_leap(1900));
  EXPECT_TRUE(is_leap(2024));
  EXPECT_FALSE(is_leap(2023));
  for (auto [year, weeks] : std::vector<std::pair<int, int>>{
           {2004, 53}, {2009, 53}, {2015, 53}, {2020, 53}, {2021, 52}, {2022, 52}, {2026, 53}})
    EXPECT_EQ(iso_weeks_in_year(year), weeks) << year;
}

// The ISO week date of every day, found from the standard calendar's
// weekday and day of the year (the week's Thursday names the ISO year), must
// lead back to that day.
TEST(Calendar, IsoWeekDatesMatchTheStandardCalendar) {
  for (std::int64_t z = -800000; z <= 800000; z += 13) {
    const chr::sys_days day{chr::days{z}};
    const int weekday = static_cast<int>(chr::weekday{day}.iso_encoding());
    const chr::sys_days thursday = day + chr::days{4 - weekday};
    const chr::year iso_year = chr::year_month_day{thursday}.year();
    const auto day_of_year = (thursday - chr::sys_days{iso_year / chr::January / 1}).count();
    const int week = static_cast<int>(day_of_year / 7 + 1);
    ASSERT_EQ(days_from_iso_week(static_cast<int>(iso_year), week, weekday), z)
        << static_cast<int>(iso_year) << "-W" << week << "-" << weekday;
  }
}

// Fields past their ranges count on, as the tuple forms of week dates do.
TEST(Calendar, IsoWeekFieldsCountOnFromWeekOne) {
  struct Case {
    std::int64_t year;
    int week, weekday;
    CivilDate date;
  };
  for (const Case& c : std::vector<Case>{
           {2013, 18, 7, {2013, 5, 5}},
           {2020, 1, 1, {2019, 12, 30}},
           {2020, 1, 4, {2020, 1, 2}},
           {2020, 53, 7, {2021, 1, 3}},
           {2021, 53, 1, {2022, 1, 3}},   // 2021 has 52 weeks
           {2021, 0, 1, {2020, 12, 28}},  // week 0: the last week of 2020
           {2026, 1, 8, {2026, 1, 5}},    // day 8: Monday of week 2
           {1, 1, 1, {1, 1, 1}},
           {9999, 52, 5, {9999, 12, 31}},
       }) {
    const CivilDate got = civil_from_days(days_from_iso_week(c.year, c.week, c.weekday));
    EXPECT_EQ(got.year, c.date.year) << c.year << "-W" << c.week << "-" << c.weekday;
    EXPECT_EQ(got.month, c.date.month) << c.year << "-W" << c.week << "-" << c.weekday;
    EXPECT_EQ(got.day, c.date.day) << c.year << "-W" << c.week << "-" << c.weekday;
  }
}

// seconds_from_civil against the standard library's time points, fields in
// range and past it (they carry into the next unit, as gmtime's inverse
// does), and its refusal of results beyond 64 bits.
TEST(Instants, SecondsFromCivilFieldsCarryAndOverflowIsRefused) {
  struct Case {
    std::int64_t year;
    int month;
    std::int64_t day, hour, minute, second;
  };
  for (const Case& c : std::vector<Case>{
           {1970, 1, 1, 0, 0, 0},
           {2020, 1, 2, 3, 4, 5},
           {2038, 1, 19, 3, 14, 8},     // past a 32-bit time_t
           {1901, 12, 13, 20, 45, 51},  // before one
           {2020, 1, 40, 25, 61, 61},   // every field past its range
           {2020, 3, 0, 0, 0, 0},       // day 0: the last of February
           {2020, 1, 1, -1, 0, 0},      // an hour before the year
           {9999, 12, 31, 23, 59, 60},  // a leap second: the next year's first
           {1, 1, 1, 0, 0, 0},
           {2020, 2, 1, 0, 0, -86400},
       }) {
    const auto expected =
        (chr::sys_days{chr::year{static_cast<int>(c.year)} / static_cast<unsigned>(c.month) / 1} +
         chr::days{c.day - 1} + chr::hours{c.hour} + chr::minutes{c.minute} +
         chr::seconds{c.second})
            .time_since_epoch()
            .count();
    const auto got = seconds_from_civil(c.year, c.month, c.day, c.hour, c.minute, c.second);
    ASSERT_TRUE(got.has_value()) << c.year << "-" << c.month << "-" << c.day;
    EXPECT_EQ(*got, expected) << c.year << "-" << c.month << "-" << c.day;
  }
  constexpr std::int64_t kMax = INT64_MAX;
  EXPECT_FALSE(seconds_from_civil(2020, 1, 1, 0, 0, kMax).has_value());
  EXPECT_FALSE(seconds_from_civil(1, 1, 1, 0, 0, INT64_MIN).has_value());
  EXPECT_FALSE(seconds_from_civil(2020, 1, kMax / 86400, 0, 0, 0).has_value());
  EXPECT_FALSE(seconds_from_civil(2020, 1, 1, kMax / 3600, 0, 0).has_value());
  EXPECT_FALSE(seconds_from_civil(2020, 1, 1, 0, kMax / 60, 0).has_value());
  // The largest result that fits is given exactly.
  const std::int64_t base = *seconds_from_civil(2020, 1, 1, 0, 0, 0);
  EXPECT_EQ(seconds_from_civil(2020, 1, 1, 0, 0, kMax - base), kMax);
}

TEST(Instants, MicrosecondsSplitIntoUtcFields) {
  const DateTime epoch = date_time_from_micros(0);
  EXPECT_EQ(epoch.date.year, 1970);
  EXPECT_EQ(epoch.hour, 0);
  // One microsecond before the epoch is the last one of 1969.
  const DateTime before = date_time_from_micros(-1);
  EXPECT_EQ(before.date.year, 1969);
  EXPECT_EQ(before.date.month, 12);
  EXPECT_EQ(before.date.day, 31);
  EXPECT_EQ(before.hour, 23);
  EXPECT_EQ(before.minute, 59);
  EXPECT_EQ(before.second, 59);
  EXPECT_EQ(before.microsecond, 999999);
  // Past 2038 as well: times are 64-bit everywhere.
  const DateTime later = date_time_from_micros(4102444800LL * kMicrosPerSecond + 5);  // 2100-01-01
  EXPECT_EQ(later.date.year, 2100);
  EXPECT_EQ(later.date.month, 1);
  EXPECT_EQ(later.microsecond, 5);
  const std::int64_t now = now_micros();
  EXPECT_GT(now, 1700000000LL * kMicrosPerSecond);
}

struct IsoCase {
  const char* text;
  std::int64_t year;
  int month, day, hour, minute, second, micro;
  bool next_day, next_second, has_offset;
  int offset;
};

// Number time stamps: the fields are Python's datetime.fromtimestamp(ts,
// timezone.utc) of the same values (after the millisecond and microsecond
// readings); refusals are the cases the interpreter refuses.
TEST(Instants, NumberStampsSplitAsTheInterpreterSplitsThem) {
  struct Case {
    double ts;
    DateTime utc;
  };
  const Case cases[] = {
      {0.0, {{1970, 1, 1}, 0, 0, 0, 0}},
      {1.0000005, {{1970, 1, 1}, 0, 0, 1, 1}},
      {-0.5, {{1969, 12, 31}, 23, 59, 59, 500000}},
      {-1e-7, {{1970, 1, 1}, 0, 0, 0, 0}},
      {1700000000.123456, {{2023, 11, 14}, 22, 13, 20, 123456}},
      {253402300799.999999, {{10000, 1, 1}, 0, 0, 0, 0}},  // rounds up into 10000
      {253402300800.5, {{1978, 1, 11}, 21, 31, 40, 800500}},
      {1.7e12, {{2023, 11, 14}, 22, 13, 20, 0}},
      {1.7e15, {{2023, 11, 14}, 22, 13, 20, 0}},
      {-62135596800.0, {{1, 1, 1}, 0, 0, 0, 0}},
      {2147483648.0, {{2038, 1, 19}, 3, 14, 8, 0}},
      {4102444800.0, {{2100, 1, 1}, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const Stamp s = date_time_from_stamp(c.ts);
    ASSERT_EQ(s.error, StampError::None) << c.ts;
    const DateTime& d = s.utc;
    EXPECT_EQ(
        std::vector<std::int64_t>(
            {d.date.year, d.date.month, d.date.day, d.hour, d.minute, d.second, d.microsecond}),
        std::vector<std::int64_t>({c.utc.date.year, c.utc.date.month, c.utc.date.day, c.utc.hour,
                                   c.utc.minute, c.utc.second, c.utc.microsecond}))
        << c.ts;
  }
  const double inf = std::numeric_limits<double>::infinity();
  const std::pair<double, StampError> refused[] = {
      {253402300800.0 * 1e6, StampError::TooLarge},
      {inf, StampError::TooLarge},
      {std::nan(""), StampError::NotANumber},
      {-inf, StampError::OutOfRange},
      {-1e19, StampError::OutOfRange},
      {-9e18, StampError::YearOverflow},  // year -285 billion
  };
  for (const auto& [ts, error] : refused) EXPECT_EQ(date_time_from_stamp(ts).error, error) << ts;
}

TEST(Iso8601, ReadsEveryForm) {
  const IsoCase cases[] = {
      {"2021", 2021, 1, 1, 0, 0, 0, 0, false, false, false, 0},
      {"2021-07", 2021, 7, 1, 0, 0, 0, 0, false, false, false, 0},
      {"2021-07-04", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      {"20210704", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      {"2021-185", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      {"2021185", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      {"2021-W26-7", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      {"2021W267", 2021, 7, 4, 0, 0, 0, 0, false, false, false, 0},
      // Week 1 of 2021 starts in 2020, week 53 of 2020 ends in 2021.
      {"2021-W01", 2021, 1, 4, 0, 0, 0, 0, false, false, false, 0},
      {"2020-W53-7", 2021, 1, 3, 0, 0, 0, 0, false, false, false, 0},
      {"2021-07-04T13", 2021, 7, 4, 13, 0, 0, 0, false, false, false, 0},
      {"2021-07-04 13:45", 2021, 7, 4, 13, 45, 0, 0, false, false, false, 0},
      {"2021-07-04T134501", 2021, 7, 4, 13, 45, 1, 0, false, false, false, 0},
      {"2021-07-04T13:45:01.5Z", 2021, 7, 4, 13, 45, 1, 500000, false, false, true, 0},
      {"2021-07-04T13:45:01,25+02", 2021, 7, 4, 13, 45, 1, 250000, false, false, true, 7200},
      {"2021-07-04T13:45:01-0330", 2021, 7, 4, 13, 45, 1, 0, false, false, true, -12600},
      {"2021-07-04T13:45:01+05:45", 2021, 7, 4, 13, 45, 1, 0, false, false, true, 20700},
      // Fractions round half to even; up to a whole second sets next_second.
      {"2021-07-04T13:45:01.0000005", 2021, 7, 4, 13, 45, 1, 0, false, false, false, 0},
      {"2021-07-04T13:45:01.0000015", 2021, 7, 4, 13, 45, 1, 2, false, false, false, 0},
      {"2021-07-04T13:45:01.00000051", 2021, 7, 4, 13, 45, 1, 1, false, false, false, 0},
      {"2021-07-04T13:45:01.9999996", 2021, 7, 4, 13, 45, 1, 0, false, true, false, 0},
      {"2021-07-04T24:00", 2021, 7, 4, 0, 0, 0, 0, true, false, false, 0},
      // Field ranges are the caller's to check.
      {"2021-02-30", 2021, 2, 30, 0, 0, 0, 0, false, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const IsoText t = parse_iso8601(c.text);
    EXPECT_EQ(t.local.date.year, c.year);
    EXPECT_EQ(t.local.date.month, c.month);
    EXPECT_EQ(t.local.date.day, c.day);
    EXPECT_EQ(t.local.hour, c.hour);
    EXPECT_EQ(t.local.minute, c.minute);
    EXPECT_EQ(t.local.second, c.second);
    EXPECT_EQ(t.local.microsecond, c.micro);
    EXPECT_EQ(t.next_day, c.next_day);
    EXPECT_EQ(t.next_second, c.next_second);
    EXPECT_EQ(t.has_offset, c.has_offset);
    EXPECT_EQ(t.offset_seconds, c.offset);
  }
}

TEST(Iso8601, RefusesOtherTextWithItsReason) {
  const std::pair<const char*, std::string> cases[] = {
      {"", ""},
      {"21", ""},
      {"2021-7-4", ""},
      {"2021-07-04X13", ""},
      {"2021-07-04T1", ""},
      {"2021-07-04T13:45:01.", ""},
      {"2021-07-04T13:45Z+", ""},
      {"2021-07-04T13:45+24", ""},
      {"2021-07-04T13:45+0260", ""},
      {"2021-07T13", ""},
      {"12345", ""},
      {"2021-W54", "Week 54 day 1 is out of range for year 2021."},
      {"2021-W01-8", "Week 1 day 8 is out of range for year 2021."},
      {"2021-366", "The provided day of year 366 is invalid."},
      {"2021-000", "The provided day of year 0 is invalid."},
      {"2021-07-04T24:01", "Midnight at the end of day must not contain minutes"},
      {"2021-07-04T24:00:01", "Midnight at the end of day must not contain seconds"},
      {"2021-07-04T24:00:00.9999999", "Midnight at the end of day must not contain microseconds"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text);
    try {
      parse_iso8601(text);
      ADD_FAILURE() << "accepted";
    } catch (const IsoFormatError& e) {
      EXPECT_EQ(e.what(), why);
    }
  }
  EXPECT_NO_THROW(parse_iso8601("2020-366"));
}

}  // namespace

// The date-time text of a record field, against the calendar of the
// standard library and a table of forms taken and refused.
TEST(FieldDateTime, FormsTakenAndTheirFields) {
  struct Case {
    const char* text;
    int year, month, day, hour, minute, second, micro;
    bool has_offset;
    int offset;
  };
  const Case taken[] = {
      {"2026-02-03T04:05:07Z", 2026, 2, 3, 4, 5, 7, 0, true, 0},
      {"2026-2-3 4:5", 2026, 2, 3, 4, 5, 0, 0, false, 0},
      {"2026-02-03T04:05:07.1", 2026, 2, 3, 4, 5, 7, 100000, false, 0},
      {"2026-02-03T04:05:07.123456789012+05:30", 2026, 2, 3, 4, 5, 7, 123456, true, 19800},
      {"2026-02-03T04:05:07.9999999-0800", 2026, 2, 3, 4, 5, 7, 999999, true, -28800},
      {"2026-02-03T04:05:07-00:00", 2026, 2, 3, 4, 5, 7, 0, true, 0},
      {"2026-02-03T04:05+01", 2026, 2, 3, 4, 5, 0, 0, true, 3600},
      {"2026-02-03T04:05:07+00:99", 2026, 2, 3, 4, 5, 7, 0, true, 5940},
      {"2024-02-29T23:59:59Z\n", 2024, 2, 29, 23, 59, 59, 0, true, 0},
      {"0001-01-01T00:00", 1, 1, 1, 0, 0, 0, 0, false, 0},
      {"9999-12-31T23:59:59.999999+23:59", 9999, 12, 31, 23, 59, 59, 999999, true, 86340},
  };
  for (const Case& c : taken) {
    const auto t = parse_field_date_time(c.text);
    ASSERT_TRUE(t) << c.text;
    EXPECT_EQ(t->local.date.year, c.year) << c.text;
    EXPECT_EQ(t->local.date.month, c.month) << c.text;
    EXPECT_EQ(t->local.date.day, c.day) << c.text;
    EXPECT_EQ(t->local.hour, c.hour) << c.text;
    EXPECT_EQ(t->local.minute, c.minute) << c.text;
    EXPECT_EQ(t->local.second, c.second) << c.text;
    EXPECT_EQ(t->local.microsecond, c.micro) << c.text;
    EXPECT_EQ(t->has_offset, c.has_offset) << c.text;
    EXPECT_EQ(t->offset_seconds, c.offset) << c.text;
  }
  for (const char* text : {"",
                           "2026-02-03",
                           "2026-02-03T04",
                           "2026-02-03T04:05:07z",
                           "2026-02-03T04:05:07.Z",
                           "2026-02-03T04:05:07.1234567890123Z",
                           "2026-02-03T04:05:07Zx",
                           "2026-02-03T04:05:07Z\n\n",
                           "2026-02-03T04:05:07+5",
                           "2026-02-03T04:05:07+05:3",
                           "2026-02-03T04:05:07+053",
                           "2026-02-03T04:05:07+24",
                           "2026-02-03T04:05:07+23:60:00",
                           "26-02-03T04:05",
                           "2026-002-03T04:05",
                           "2026-02-03T004:05",
                           "2026-02-03t04:05",
                           "2026-02-03T04:05:07 Z",
                           "0000-01-01T00:00",
                           "2026-13-01T00:00",
                           "2026-00-01T00:00",
                           "2026-02-29T00:00",
                           "2026-04-31T00:00",
                           "2026-02-03T24:00",
                           "2026-02-03T23:60",
                           "2026-02-03T23:59:60",
                           "2026-02-03T04:05:07\r"})
    EXPECT_FALSE(parse_field_date_time(text)) << text;
  // Every day of four years, leap days included, against the standard calendar.
  for (std::int64_t z = days_from_civil(2023, 1, 1); z < days_from_civil(2027, 1, 1); ++z) {
    chr::year_month_day ymd{chr::sys_days{chr::days{z}}};
    const std::string text = std::to_string(static_cast<int>(ymd.year())) + "-" +
                             std::to_string(static_cast<unsigned>(ymd.month())) + "-" +
                             std::to_string(static_cast<unsigned>(ymd.day())) + "T12:00";
    const auto t = parse_field_date_time(text);
    ASSERT_TRUE(t) << text;
    EXPECT_EQ(days_from_civil(t->local.date.year, t->local.date.month, t->local.date.day), z);
  }
  // Each digit of the layout "YYYY-MM-DDTHH:MM:SS" counts in its place, and
  // a character beside the digits in its place refuses the text.
  const std::string base = "1111-11-11T11:11:11Z";
  for (std::size_t i = 0; i < 19; ++i) {
    if (base[i] != '1') continue;
    for (const char c : {'/', ':', '\xb1'}) {
      std::string text = base;
      text[i] = c;
      EXPECT_FALSE(parse_field_date_time(text)) << text;
    }
    std::string text = base;
    text[i] = '0';
    const auto t = parse_field_date_time(text);
    ASSERT_TRUE(t) << text;
    const int fields[] = {static_cast<int>(t->local.date.year),
                          t->local.date.month,
                          t->local.date.day,
                          t->local.hour,
                          t->local.minute,
                          t->local.second};
    const std::size_t field = i < 4 ? 0 : (i - 2) / 3;
    const int place = i < 4 ? 3 - static_cast<int>(i) : static_cast<int>((i - 2) % 3 == 0);
    const int one_there = place == 3 ? 1000 : place == 2 ? 100 : place == 1 ? 10 : 1;
    for (std::size_t f = 0; f < 6; ++f)
      EXPECT_EQ(fields[f], (f == 0 ? 1111 : 11) - (f == field ? one_there : 0)) << text << f;
  }
  EXPECT_EQ(days_in_month(2024, 2), 29);
  EXPECT_EQ(days_in_month(1900, 2), 28);
  EXPECT_EQ(days_in_month(2000, 2), 29);
}
