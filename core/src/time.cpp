#include "velna/time.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace velna::time {

std::int64_t days_from_civil(std::int64_t y, int month, int day) {
  const auto m = static_cast<unsigned>(month);
  const auto d = static_cast<unsigned>(day);
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilDate out;
  out.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  out.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  out.year = static_cast<std::int64_t>(yoe) + era * 400 + (out.month <= 2);
  return out;
}

int iso_weekday(std::int64_t z) {
  const std::int64_t wd = z >= -4 ? (z + 4) % 7 : (z + 5) % 7 + 6;  // 0 = Sunday
  return wd == 0 ? 7 : static_cast<int>(wd);
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

int iso_weeks_in_year(std::int64_t y) {
  const int jan1 = iso_weekday(days_from_civil(y, 1, 1));
  return jan1 == 4 || (is_leap(y) && jan1 == 3) ? 53 : 52;
}

std::int64_t days_from_iso_week(std::int64_t year, int week, int weekday) {
  const std::int64_t jan4 = days_from_civil(year, 1, 4);
  const std::int64_t monday_of_week1 = jan4 - (iso_weekday(jan4) - 1);
  return monday_of_week1 + (static_cast<std::int64_t>(week) - 1) * 7 + (weekday - 1);
}

std::int64_t now_micros() {
  using namespace std::chrono;
  return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

// floor_div splits |n| into |d| * quotient + remainder, the remainder in
// [0, d).
std::pair<std::int64_t, std::int64_t> floor_div(std::int64_t n, std::int64_t d) {
  std::int64_t q = n / d, r = n % d;
  if (r < 0) {
    r += d;
    --q;
  }
  return {q, r};
}

// date_time_from_seconds: the UTC fields of a POSIX time in whole seconds.
DateTime date_time_from_seconds(std::int64_t seconds) {
  const auto [days, rest] = floor_div(seconds, 86400);
  DateTime out;
  out.date = civil_from_days(days);
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  out.microsecond = 0;
  return out;
}

}  // namespace

DateTime date_time_from_micros(std::int64_t micros) {
  const auto [seconds, fraction] = floor_div(micros, kMicrosPerSecond);
  DateTime out = date_time_from_seconds(seconds);
  out.microsecond = static_cast<int>(fraction);
  return out;
}

Stamp date_time_from_stamp(double ts) {
  // The first second of the year 10000.
  constexpr double kMax = 253402300800.0;
  if (ts > kMax) {
    if (ts < kMax * 1e3) {
      ts /= 1e3;
    } else if (ts < kMax * 1e6) {
      ts /= 1e6;
    } else {
      return {{}, StampError::TooLarge};
    }
  }
  if (std::isnan(ts)) return {{}, StampError::NotANumber};
  double whole = 0;
  double micros = std::nearbyint(std::modf(ts, &whole) * 1e6);
  if (micros >= 1e6) {
    micros -= 1e6;
    whole += 1;
  } else if (micros < 0) {
    micros += 1e6;
    whole -= 1;
  }
  if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0))
    return {{}, StampError::OutOfRange};
  Stamp out{date_time_from_seconds(static_cast<std::int64_t>(whole)), StampError::None};
  // struct tm counts years from 1900 in an int.
  const std::int64_t tm_year = out.utc.date.year - 1900;
  if (tm_year > std::numeric_limits<int>::max() || tm_year < std::numeric_limits<int>::min())
    return {{}, StampError::YearOverflow};
  out.utc.microsecond = static_cast<int>(micros);
  return out;
}

std::optional<std::int64_t> seconds_from_civil(std::int64_t year, int month, std::int64_t day,
                                               std::int64_t hour, std::int64_t minute,
                                               std::int64_t second) {
  // ((days * 24 + hour) * 60 + minute) * 60 + second, each step checked.
  std::int64_t t = 0;
  if (__builtin_add_overflow(days_from_civil(year, month, 1) - 1, day, &t) ||
      __builtin_mul_overflow(t, 24, &t) || __builtin_add_overflow(t, hour, &t) ||
      __builtin_mul_overflow(t, 60, &t) || __builtin_add_overflow(t, minute, &t) ||
      __builtin_mul_overflow(t, 60, &t) || __builtin_add_overflow(t, second, &t))
    return std::nullopt;
  return t;
}

namespace {

class IsoParser {
 public:
  explicit IsoParser(std::string_view s) : s_(s.data()), n_(s.size()) {}

  IsoText parse() {
    std::int64_t year = 0;
    int month = 1, day = 1;
    std::size_t i = 0;
    bool time_allowed = true;
    if (run(0) < 4) fail();
    year = number(0, 4);
    if (n_ == 4) {
      time_allowed = false;
      i = 4;
    } else if (s_[4] == '-') {
      if (at(5) == 'W') {
        if (run(6) != 2) fail();
        const int week = static_cast<int>(number(6, 2));
        int wday = 1;
        i = 8;
        if (at(8) == '-') {
          if (run(9) != 1) fail();
          wday = static_cast<int>(number(9, 1));
          i = 10;
        }
        week_date(year, week, wday, month, day);
      } else if (run(5) == 3) {
        ordinal_date(year, static_cast<int>(number(5, 3)), month, day);
        i = 8;
      } else if (run(5) == 2) {
        month = static_cast<int>(number(5, 2));
        i = 7;
        if (i == n_) {
          time_allowed = false;
        } else {
          if (s_[7] != '-' || run(8) != 2) fail();
          day = static_cast<int>(number(8, 2));
          i = 10;
        }
      } else {
        fail();
      }
    } else if (s_[4] == 'W') {
      const std::size_t r = run(5);
      if (r != 2 && r != 3) fail();
      const int week = static_cast<int>(number(5, 2));
      const int wday = r == 3 ? static_cast<int>(number(7, 1)) : 1;
      i = 5 + r;
      week_date(year, week, wday, month, day);
    } else if (run(0) == 8) {
      month = static_cast<int>(number(4, 2));
      day = static_cast<int>(number(6, 2));
      i = 8;
    } else if (run(0) == 7) {
      ordinal_date(year, static_cast<int>(number(4, 3)), month, day);
      i = 7;
    } else {
      fail();
    }

    IsoText out;
    int hour = 0, minute = 0, second = 0, micro = 0;
    bool carry = false;
    if (i < n_) {
      if (!time_allowed || (s_[i] != 'T' && s_[i] != ' ')) fail();
      ++i;
      bool has_seconds = false;
      const std::size_t r = run(i);
      if (r == 2) {
        hour = static_cast<int>(number(i, 2));
        i += 2;
        if (at(i) == ':') {
          if (run(i + 1) != 2) fail();
          minute = static_cast<int>(number(i + 1, 2));
          i += 3;
          if (at(i) == ':') {
            if (run(i + 1) != 2) fail();
            second = static_cast<int>(number(i + 1, 2));
            i += 3;
            has_seconds = true;
          }
        }
      } else if (r == 4) {
        hour = static_cast<int>(number(i, 2));
        minute = static_cast<int>(number(i + 2, 2));
        i += 4;
      } else if (r == 6) {
        hour = static_cast<int>(number(i, 2));
        minute = static_cast<int>(number(i + 2, 2));
        second = static_cast<int>(number(i + 4, 2));
        i += 6;
        has_seconds = true;
      } else {
        fail();
      }
      if (has_seconds && (at(i) == '.' || at(i) == ',')) {
        const std::size_t k = run(i + 1);
        if (k == 0) fail();
        fraction(i + 1, k, micro, carry);
        i += 1 + k;
      }
      if (i < n_) {
        out.has_offset = true;
        out.offset_seconds = parse_offset(i);
      }
      if (hour == 24) {
        if (minute) fail("Midnight at the end of day must not contain minutes");
        if (second) fail("Midnight at the end of day must not contain seconds");
        if (micro || carry) fail("Midnight at the end of day must not contain microseconds");
      }
    }
    out.local = {{year, month, day}, hour == 24 ? 0 : hour, minute, second, micro};
    out.next_day = hour == 24;
    out.next_second = carry;
    return out;
  }

 private:
  [[noreturn]] static void fail(const std::string& why = {}) { throw IsoFormatError(why); }

  char at(std::size_t i) const { return i < n_ ? s_[i] : '\0'; }

  // run is the number of ASCII digits from |i| on.
  std::size_t run(std::size_t i) const {
    std::size_t j = i;
    while (j < n_ && s_[j] >= '0' && s_[j] <= '9') ++j;
    return j - i;
  }

  std::int64_t number(std::size_t i, std::size_t len) const {
    std::int64_t v = 0;
    for (std::size_t k = 0; k < len; ++k) v = v * 10 + (s_[i + k] - '0');
    return v;
  }

  // fraction rounds the |k| fraction digits at |i| to microseconds, half to
  // even; |carry| is set when they round up to a whole second.
  void fraction(std::size_t i, std::size_t k, int& micro, bool& carry) const {
    int us = 0;
    for (std::size_t d = 0; d < 6; ++d) us = us * 10 + (d < k ? s_[i + d] - '0' : 0);
    if (k > 6) {
      const char first = s_[i + 6];
      bool up = first > '5';
      if (first == '5') {
        bool rest = false;
        for (std::size_t d = 7; d < k; ++d) rest = rest || s_[i + d] != '0';
        up = rest || (us % 2 == 1);
      }
      if (up) ++us;
    }
    carry = us == 1000000;
    micro = carry ? 0 : us;
  }

  // parse_offset reads the offset at |i|, which must end the text, and
  // returns it in seconds east of UTC.
  int parse_offset(std::size_t i) const {
    if (s_[i] == 'Z') {
      if (i + 1 != n_) fail();
      return 0;
    }
    if (s_[i] != '+' && s_[i] != '-') fail();
    const int sign = s_[i] == '-' ? -1 : 1;
    if (run(i + 1) < 2) fail();
    const int hh = static_cast<int>(number(i + 1, 2));
    int mm = 0;
    std::size_t j = i + 3;
    if (j < n_) {
      if (s_[j] == ':') ++j;
      if (run(j) != 2 || j + 2 != n_) fail();
      mm = static_cast<int>(number(j, 2));
    }
    if (hh > 23 || mm > 59) fail();
    return sign * (hh * 3600 + mm * 60);
  }

  // week_date and ordinal_date turn their date into a calendar date; a week
  // date may fall in the neighbouring year.
  static void week_date(std::int64_t& year, int week, int wday, int& month, int& day) {
    if (week < 1 || week > iso_weeks_in_year(year) || wday < 1 || wday > 7) {
      fail("Week " + std::to_string(week) + " day " + std::to_string(wday) +
           " is out of range for year " + std::to_string(year) + ".");
    }
    const CivilDate c = civil_from_days(days_from_iso_week(year, week, wday));
    year = c.year;
    month = c.month;
    day = c.day;
  }

  static void ordinal_date(std::int64_t& year, int yday, int& month, int& day) {
    if (yday < 1 || yday > (is_leap(year) ? 366 : 365))
      fail("The provided day of year " + std::to_string(yday) + " is invalid.");
    const CivilDate c = civil_from_days(days_from_civil(year, 1, 1) + yday - 1);
    year = c.year;
    month = c.month;
    day = c.day;
  }

  const char* s_;
  std::size_t n_;
};

}  // namespace

IsoText parse_iso8601(std::string_view text) { return IsoParser(text).parse(); }

namespace {

// FieldReader walks the text of a record field's date-time.
struct FieldReader {
  std::string_view s;
  std::size_t i = 0;

  bool digit() const { return i < s.size() && s[i] >= '0' && s[i] <= '9'; }
  bool take(char c) {
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
  }
  // number reads |min| to |max| digits; -1 when fewer than |min| stand there.
  int number(std::size_t min, std::size_t max) {
    int v = 0;
    std::size_t n = 0;
    for (; n < max && digit(); ++n) v = v * 10 + (s[i++] - '0');
    return n < min ? -1 : v;
  }
  bool at_end() const { return i == s.size() || (i + 1 == s.size() && s[i] == '\n'); }
};

// field_offset reads the offset at |r| ("Z" or a signed hour and minute)
// into |out|; false when none stands there.
bool field_offset(FieldReader& r, FieldDateTime& out) {
  if (r.take('Z')) {
    out.has_offset = true;
    return true;
  }
  const int sign = r.take('+') ? 1 : r.take('-') ? -1 : 0;
  if (!sign) return false;
  const int hours = r.number(2, 2);
  if (hours < 0) return false;
  int minutes = 0;
  const bool colon = r.take(':');
  if (colon || r.digit()) {
    minutes = r.number(2, 2);
    if (minutes < 0) return false;
  }
  out.has_offset = true;
  out.offset_seconds = sign * (hours * 3600 + minutes * 60);
  return true;
}

// digits_at: the bytes of |w| that |mask| selects are all ASCII digits
// (each has the high half 3, and so has it with 6 added).
bool digits_at(std::uint64_t w, std::uint64_t mask) {
  constexpr std::uint64_t kHigh = 0xf0f0f0f0f0f0f0f0u, kThree = 0x3030303030303030u;
  return (w & kHigh & mask) == (kThree & mask) &&
         ((w + 0x0606060606060606u) & kHigh & mask) == (kThree & mask);
}

// fixed_layout reads the date and time of "YYYY-MM-DDTHH:MM:SS" (a blank
// for the "T" alike), the layout nearly every text takes, by place: what
// the general reading makes of it. False for text that does not start so.
bool fixed_layout(std::string_view s, DateTime& t) {
  if (s.size() < 19 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != ' ') ||
      s[13] != ':' || s[16] != ':')
    return false;
  if constexpr (std::endian::native == std::endian::little) {
    // The digits of "YYYY-MM-", "DDTHH:MM" and "HH:MM:SS", eight bytes each.
    std::uint64_t a, b, c;
    std::memcpy(&a, s.data(), 8);
    std::memcpy(&b, s.data() + 8, 8);
    std::memcpy(&c, s.data() + 11, 8);
    if (!digits_at(a, 0x00ffff00ffffffffu) || !digits_at(b, 0xffff00ffff00ffffu) ||
        !digits_at(c, 0xffff000000000000u))
      return false;
  } else {
    for (const std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
      if (s[i] < '0' || s[i] > '9') return false;
  }
  auto two = [&](std::size_t i) { return (s[i] - '0') * 10 + (s[i + 1] - '0'); };
  t.date.year = two(0) * 100 + two(2);
  t.date.month = two(5);
  t.date.day = two(8);
  t.hour = two(11);
  t.minute = two(14);
  t.second = two(17);
  return true;
}

}  // namespace

std::optional<FieldDateTime> parse_field_date_time(std::string_view text) {
  FieldReader r{text};
  FieldDateTime out;
  DateTime& t = out.local;
  t.microsecond = 0;
  bool seconds = fixed_layout(text, t);
  if (seconds) {
    r.i = 19;
  } else {
    t.date.year = r.number(4, 4);
    if (t.date.year < 0 || !r.take('-') || (t.date.month = r.number(1, 2)) < 0 || !r.take('-') ||
        (t.date.day = r.number(1, 2)) < 0 || !(r.take('T') || r.take(' ')) ||
        (t.hour = r.number(1, 2)) < 0 || !r.take(':') || (t.minute = r.number(1, 2)) < 0)
      return std::nullopt;
    t.second = 0;
    seconds = r.take(':');
    if (seconds && (t.second = r.number(1, 2)) < 0) return std::nullopt;
  }
  if (seconds) {
    const std::size_t dot = r.i;
    if (r.take('.')) {
      const std::size_t first = r.i;
      while (r.digit() && r.i - first < 12) ++r.i;
      const std::size_t count = r.i - first;
      if (count == 0) {
        r.i = dot;  // "." without digits: not a fraction
      } else {
        for (std::size_t k = 0; k < 6; ++k)
          t.microsecond = t.microsecond * 10 + (k < count ? text[first + k] - '0' : 0);
      }
    }
  }
  if (!r.at_end() && (!field_offset(r, out) || !r.at_end())) return std::nullopt;
  if (t.date.year < 1 || t.date.month < 1 || t.date.month > 12 || t.date.day < 1 ||
      t.date.day > days_in_month(t.date.year, t.date.month) || t.hour > 23 || t.minute > 59 ||
      t.second > 59 || out.offset_seconds <= -86400 || out.offset_seconds >= 86400)
    return std::nullopt;
  return out;
}

}  // namespace velna::time
