#include "timestamps.h"
#include "velna_py.h"

#include <datetime.h>

#include <cerrno>
#include <cmath>
#include <ctime>
#include <string>

namespace velna::py::time {
namespace {

namespace pyb = pybind11;

// The datetime C API pointer is per translation unit; it is filled on first
// use, with the GIL held.
void ensure_datetime_api() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw pyb::error_already_set();
  }
}

[[noreturn]] void raise() { throw pyb::error_already_set(); }

PyObject* utc() { return PyDateTime_TimeZone_UTC; }

PyObject* decimal_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (!type) {
    PyObject* mod = PyImport_ImportModule("decimal");
    if (!mod) raise();
    PyObject* t = PyObject_GetAttrString(mod, "Decimal");
    Py_DECREF(mod);
    if (!t) raise();
    type = t;
  }
  return type;
}

pyb::object steal(PyObject* o) {
  if (!o) raise();
  return pyb::reinterpret_steal<pyb::object>(o);
}

pyb::object make_datetime(int y, int mo, int d, int h, int mi, int s, int us, PyObject* tz,
                          int fold = 0) {
  return steal(PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(y, mo, d, h, mi, s, us, tz, fold,
                                                              PyDateTimeAPI->DateTimeType));
}

[[noreturn]] void parse_failure(PyObject* text, const std::string& why = {}) {
  PyObject* cls = parser_error().ptr();
  if (!cls) raise();
  if (why.empty()) {
    PyErr_Format(cls, "Could not match input %R to any ISO 8601 format.", text);
  } else {
    PyErr_SetString(cls, why.c_str());
  }
  raise();
}

// Day numbers count from 1970-01-01 in the proleptic Gregorian calendar.
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// iso_weekday: Monday 1 ... Sunday 7.
int iso_weekday(long long z) {
  const long long wd = z >= -4 ? (z + 4) % 7 : (z + 5) % 7 + 6;  // 0 = Sunday
  return wd == 0 ? 7 : static_cast<int>(wd);
}

bool is_leap(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int iso_weeks_in_year(long long y) {
  const int jan1 = iso_weekday(days_from_civil(y, 1, 1));
  return jan1 == 4 || (is_leap(y) && jan1 == 3) ? 53 : 52;
}

class IsoParser {
 public:
  IsoParser(PyObject* text, const char* s, Py_ssize_t n) : text_(text), s_(s), n_(n) {}

  pyb::object parse() {
    long long year = 0;
    int month = 1, day = 1;
    Py_ssize_t i = 0;
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
      const Py_ssize_t r = run(5);
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

    int hour = 0, minute = 0, second = 0, micro = 0;
    bool carry = false;
    PyObject* tz = utc();
    pyb::object tz_owner;
    if (i < n_) {
      if (!time_allowed || (s_[i] != 'T' && s_[i] != ' ')) fail();
      ++i;
      bool has_seconds = false;
      const Py_ssize_t r = run(i);
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
        const Py_ssize_t k = run(i + 1);
        if (k == 0) fail();
        fraction(i + 1, k, micro, carry);
        i += 1 + k;
      }
      if (i < n_) {
        const int offset = parse_offset(i);
        if (offset != 0) {
          tz_owner = steal(PyTimeZone_FromOffset(steal(PyDelta_FromDSU(0, offset, 0)).ptr()));
          tz = tz_owner.ptr();
        }
      }
      if (hour == 24) {
        if (minute) fail("Midnight at the end of day must not contain minutes");
        if (second) fail("Midnight at the end of day must not contain seconds");
        if (micro || carry) fail("Midnight at the end of day must not contain microseconds");
      }
    }

    pyb::object dt = make_datetime(static_cast<int>(year), month, day, hour == 24 ? 0 : hour,
                                   minute, second, micro, tz);
    if (hour == 24) dt = add(dt, 1, 0);
    if (carry) dt = add(dt, 0, 1);
    return dt;
  }

 private:
  [[noreturn]] void fail(const std::string& why = {}) { parse_failure(text_, why); }

  char at(Py_ssize_t i) const { return i < n_ ? s_[i] : '\0'; }

  // run is the number of ASCII digits from |i| on.
  Py_ssize_t run(Py_ssize_t i) const {
    Py_ssize_t j = i;
    while (j < n_ && s_[j] >= '0' && s_[j] <= '9') ++j;
    return j - i;
  }

  long long number(Py_ssize_t i, Py_ssize_t len) const {
    long long v = 0;
    for (Py_ssize_t k = 0; k < len; ++k) v = v * 10 + (s_[i + k] - '0');
    return v;
  }

  // fraction rounds the |k| fraction digits at |i| to microseconds, half to
  // even; |carry| is set when they round up to a whole second.
  void fraction(Py_ssize_t i, Py_ssize_t k, int& micro, bool& carry) const {
    int us = 0;
    for (Py_ssize_t d = 0; d < 6; ++d) us = us * 10 + (d < k ? s_[i + d] - '0' : 0);
    if (k > 6) {
      const char first = s_[i + 6];
      bool up = first > '5';
      if (first == '5') {
        bool rest = false;
        for (Py_ssize_t d = 7; d < k; ++d) rest = rest || s_[i + d] != '0';
        up = rest || (us % 2 == 1);
      }
      if (up) ++us;
    }
    carry = us == 1000000;
    micro = carry ? 0 : us;
  }

  // parse_offset reads the offset at |i|, which must end the text, and
  // returns it in seconds east of UTC.
  int parse_offset(Py_ssize_t i) {
    if (s_[i] == 'Z') {
      if (i + 1 != n_) fail();
      return 0;
    }
    if (s_[i] != '+' && s_[i] != '-') fail();
    const int sign = s_[i] == '-' ? -1 : 1;
    if (run(i + 1) < 2) fail();
    const int hh = static_cast<int>(number(i + 1, 2));
    int mm = 0;
    Py_ssize_t j = i + 3;
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
  void week_date(long long& year, int week, int wday, int& month, int& day) {
    if (week < 1 || week > iso_weeks_in_year(year) || wday < 1 || wday > 7) {
      fail("Week " + std::to_string(week) + " day " + std::to_string(wday) +
           " is out of range for year " + std::to_string(year) + ".");
    }
    const long long jan4 = days_from_civil(year, 1, 4);
    const long long z = jan4 - (iso_weekday(jan4) - 1) + (week - 1) * 7 + (wday - 1);
    civil_from_days(z, year, month, day);
  }

  void ordinal_date(long long& year, int yday, int& month, int& day) {
    if (yday < 1 || yday > (is_leap(year) ? 366 : 365)) {
      fail("The provided day of year " + std::to_string(yday) + " is invalid.");
    }
    civil_from_days(days_from_civil(year, 1, 1) + yday - 1, year, month, day);
  }

  pyb::object add(const pyb::object& dt, int days, int seconds) {
    pyb::object delta = steal(PyDelta_FromDSU(days, seconds, 0));
    return steal(PyNumber_Add(dt.ptr(), delta.ptr()));
  }

  PyObject* text_;
  const char* s_;
  Py_ssize_t n_;
};

pyb::object parse_iso(PyObject* text) {
  if (PyUnicode_READY(text) < 0) raise();
  if (!PyUnicode_IS_ASCII(text)) parse_failure(text);
  IsoParser p(text, static_cast<const char*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text));
  return p.parse();
}

pyb::object from_timestamp(PyObject* value) {
  double ts = PyFloat_AsDouble(value);
  if (ts == -1.0 && PyErr_Occurred()) raise();
  // The largest timestamp in the year 9999; larger ones are taken as
  // milliseconds, then as microseconds.
  constexpr double kMax = 253402300800.0;
  if (ts > kMax) {
    if (ts < kMax * 1e3) {
      ts /= 1e3;
    } else if (ts < kMax * 1e6) {
      ts /= 1e6;
    } else {
      pyb::object f = steal(PyFloat_FromDouble(ts));
      PyErr_Format(PyExc_ValueError, "The specified timestamp %R is too large.", f.ptr());
      raise();
    }
  }
  // The interpreter's own conversion goes through its C library's time_t,
  // 32 bits wide in Debian's armhf interpreter, where it fails past 2038.
  // Split and round as it does (microseconds, half to even), then convert
  // the seconds with our own 64-bit gmtime_r.
  static_assert(sizeof(time_t) >= 8, "build with a 64-bit time_t (_TIME_BITS=64)");
  if (std::isnan(ts)) {
    PyErr_SetString(PyExc_ValueError, "Invalid value NaN (not a number)");
    raise();
  }
  double whole = 0;
  double micros = std::nearbyint(std::modf(ts, &whole) * 1e6);
  if (micros >= 1e6) {
    micros -= 1e6;
    whole += 1;
  } else if (micros < 0) {
    micros += 1e6;
    whole -= 1;
  }
  if (!(whole >= -9223372036854775808.0 && whole < 9223372036854775808.0)) {
    PyErr_SetString(PyExc_OverflowError, "timestamp out of range for platform time_t");
    raise();
  }
  const time_t secs = static_cast<time_t>(whole);
  tm parts{};
  errno = 0;
  if (!gmtime_r(&secs, &parts)) {
    if (errno == 0) errno = EINVAL;
    PyErr_SetFromErrno(PyExc_OSError);
    raise();
  }
  const int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  return make_datetime(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min, second, static_cast<int>(micros), utc());
}

}  // namespace

pybind11::handle parser_error() {
  return velna::py::shared_error_type("velna.time.ParserError", "velna.ParserError",
                                      "Raised when a date-time text is not in an ISO 8601 form.",
                                      PyExc_ValueError);
}

pybind11::object utcnow() {
  ensure_datetime_api();
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t secs = now.tv_sec;
  tm parts{};
  gmtime_r(&secs, &parts);
  // A leap second, should the C library report one, is the last second of
  // its minute.
  const int second = parts.tm_sec > 59 ? 59 : parts.tm_sec;
  return make_datetime(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                       parts.tm_min, second, static_cast<int>(now.tv_nsec / 1000), utc());
}

pybind11::object to_datetime(pybind11::handle value) {
  ensure_datetime_api();
  PyObject* v = value.ptr();
  if (v == Py_None) {
    PyErr_SetString(PyExc_TypeError, "Cannot parse argument of type None.");
    raise();
  }
  if (PyDateTime_Check(v)) {
    auto* dt = reinterpret_cast<PyDateTime_DateTime*>(v);
    PyObject* tz = dt->hastzinfo && dt->tzinfo != Py_None ? dt->tzinfo : utc();
    return make_datetime(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
                         PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                         PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v), tz,
                         PyDateTime_DATE_GET_FOLD(v));
  }
  if (PyDate_Check(v)) {
    return make_datetime(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v), 0,
                         0, 0, 0, utc());
  }
  if (PyUnicode_Check(v)) return parse_iso(v);
  bool number = !PyBool_Check(v) && (PyLong_Check(v) || PyFloat_Check(v));
  if (!number && !PyBool_Check(v)) {
    const int is_dec = PyObject_IsInstance(v, decimal_type());
    if (is_dec < 0) raise();
    number = is_dec != 0;
  }
  if (number) {
    pyb::object f = steal(PyNumber_Float(v));
    return from_timestamp(f.ptr());
  }
  PyErr_Format(PyExc_TypeError, "Cannot parse single argument of type %R.",
               reinterpret_cast<PyObject*>(Py_TYPE(v)));
  raise();
}

}  // namespace velna::py::time
