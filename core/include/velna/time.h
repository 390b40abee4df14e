// Calendar arithmetic and ISO 8601 date-time text, for every place that
// reads or writes time stamps (containers, the HTTP session, key server
// times, stored columns). Times are 64-bit: microseconds since 1970-01-01
// UTC, never a platform time_t.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "velna/error.h"

namespace velna::time {

// ---- the proleptic Gregorian calendar -------------------------------------

struct CivilDate {
  std::int64_t year;
  int month;  // 1..12
  int day;    // 1..31
};

// days_from_civil is the day number of a date, counted from 1970-01-01 (day
// 0); civil_from_days is its inverse. Both hold for any year that fits.
std::int64_t days_from_civil(std::int64_t year, int month, int day);
CivilDate civil_from_days(std::int64_t days);

// iso_weekday of a day number: Monday 1 ... Sunday 7.
int iso_weekday(std::int64_t days);
bool is_leap(std::int64_t year);
// days_in_month: 28..31 for |month| 1..12 of |year|.
int days_in_month(std::int64_t year, int month);
// iso_weeks_in_year: 52 or 53 ISO weeks.
int iso_weeks_in_year(std::int64_t year);

// days_from_iso_week is the day number of an ISO week date: day |weekday|
// (Monday 1 ... Sunday 7) of week |week| of the ISO year |year|, whose week
// 1 holds the 4th of January. Nothing is range-checked: the fields count
// on from Monday of week 1, so week 53 of a year of 52 weeks is week 1 of
// the next, and week 0 the last week of the year before.
std::int64_t days_from_iso_week(std::int64_t year, int week, int weekday);

// ---- instants -------------------------------------------------------------

inline constexpr std::int64_t kMicrosPerSecond = 1000000;
inline constexpr std::int64_t kMicrosPerDay = 86400 * kMicrosPerSecond;

// DateTime is a UTC instant in calendar fields.
struct DateTime {
  CivilDate date;
  int hour, minute, second, microsecond;
};

// now_micros is the current time in microseconds since 1970-01-01 UTC.
std::int64_t now_micros();
// date_time_from_micros splits such a time into calendar fields (UTC).
DateTime date_time_from_micros(std::int64_t micros);

// StampError is why a number given as a POSIX time stamp names no instant.
enum class StampError {
  None,
  TooLarge,  // past the year 9999 even when read as microseconds
  NotANumber,
  OutOfRange,    // whole seconds beyond 64 bits
  YearOverflow,  // a year that a C library's broken-down time cannot hold
};

struct Stamp {
  DateTime utc;
  StampError error;
};

// date_time_from_stamp splits a POSIX time stamp in seconds into UTC
// calendar fields, its fraction rounded to microseconds half to even. A
// stamp past the year 9999 is read as milliseconds, and past that again as
// microseconds. No platform time_t is involved, so any 64-bit second is
// read alike on every platform.
Stamp date_time_from_stamp(double seconds);

// seconds_from_civil is the POSIX time, in seconds, of a UTC date and time
// of day: the inverse of gmtime. |month| must be 1..12; the other fields
// count on from the first of that month at midnight, so they may lie outside
// their usual ranges (day 0 is the last day of the month before, second 60
// the next minute's first). Empty when the result does not fit in 64 bits.
std::optional<std::int64_t> seconds_from_civil(std::int64_t year, int month, std::int64_t day,
                                               std::int64_t hour, std::int64_t minute,
                                               std::int64_t second);

// ---- ISO 8601 text --------------------------------------------------------

// IsoText is a date-time as an ISO 8601 text gives it, in local fields: the
// date, the time of day, and the offset from UTC. The end of the day (24:00)
// is hour 0 with next_day set, and a fraction that rounds up to a whole
// second is microsecond 0 with next_second set: the caller checks the fields
// as its date type does, then adds the day or the second.
struct IsoText {
  DateTime local;
  bool next_day = false;
  bool next_second = false;
  bool has_offset = false;  // false: the text gave none (it counts as UTC)
  int offset_seconds = 0;   // east of UTC
};

// IsoFormatError: the text is not an ISO 8601 date-time. what() gives the
// reason for a date or time that is out of range, and is empty when the
// text matches none of the forms.
class IsoFormatError : public InvalidArgument {
 public:
  using InvalidArgument::InvalidArgument;
};

// parse_iso8601 reads ISO 8601 text, basic or extended: a calendar date
// (YYYY-MM-DD, YYYYMMDD), an ordinal date (YYYY-DDD, YYYYDDD), a week date
// (YYYY-Www[-D], YYYYWww[D]), YYYY-MM or YYYY, optionally followed by "T" or
// one blank and a time (HH, HH:MM, HH:MM:SS, HHMM, HHMMSS, seconds with a
// "." or "," fraction rounded half to even to microseconds, 24:00 as the end
// of the day) and an offset ("Z", ±HH, ±HHMM, ±HH:MM). Month, day, hour,
// minute and second ranges are not checked here (the caller's date type
// does); week and ordinal dates, offsets and 24:00 are. IsoFormatError
// otherwise.
IsoText parse_iso8601(std::string_view text);

// ---- date-time text of a record field -------------------------------------

// FieldDateTime is a date-time as a record's date-time field gives it, in
// local fields, with its offset from UTC when it names one.
struct FieldDateTime {
  DateTime local;
  bool has_offset = false;  // false: a naive date-time
  int offset_seconds = 0;   // east of UTC
};

// parse_field_date_time reads the date-time text of a record field (the
// key server's events, the key ring's entries): "YYYY-M[M]-D[D]", "T" or one
// blank, "h[h]:m[m]", optionally ":s[s]" with a "." fraction of 1 to 12
// digits (cut, not rounded, to microseconds), optionally "Z" or an offset
// "+HH", "+HHMM", "+HH:MM" (or "-"), and at most one line feed at the very
// end. The fields must make a real date and time of day between the years 1
// and 9999, and the offset must be less than a day (its minutes may pass
// 59). Empty for any other text.
std::optional<FieldDateTime> parse_field_date_time(std::string_view text);

}  // namespace velna::time
