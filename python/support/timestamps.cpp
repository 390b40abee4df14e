#include "timestamps.h"
#include "velna_py.h"

#include <datetime.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "velna/time.h"

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

// decimal.Decimal, imported on first use and kept for the life of the
// process (a failed import is tried again at the next call).
PyObject* decimal_type() {
  static PyObject* type = keep(import_module("decimal").attr("Decimal"));
  return type;
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

pyb::object add(const pyb::object& dt, int days, int seconds) {
  pyb::object delta = steal(PyDelta_FromDSU(days, seconds, 0));
  return steal(PyNumber_Add(dt.ptr(), delta.ptr()));
}

// parse_iso reads ISO 8601 text with the core's parser; the datetime type
// checks the fields, then the end of the day and a rounded-up second are
// added, so that their errors are the runtime's own.
pyb::object parse_iso(PyObject* text) {
  if (PyUnicode_READY(text) < 0) raise();
  if (!PyUnicode_IS_ASCII(text)) parse_failure(text);
  velna::time::IsoText t;
  try {
    t = velna::time::parse_iso8601({static_cast<const char*>(PyUnicode_DATA(text)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))});
  } catch (const velna::time::IsoFormatError& e) {
    parse_failure(text, e.what());
  }
  PyObject* tz = utc();
  pyb::object tz_owner;
  if (t.offset_seconds != 0) {
    tz_owner = steal(PyTimeZone_FromOffset(steal(PyDelta_FromDSU(0, t.offset_seconds, 0)).ptr()));
    tz = tz_owner.ptr();
  }
  const velna::time::DateTime& f = t.local;
  pyb::object dt = make_datetime(static_cast<int>(f.date.year), f.date.month, f.date.day, f.hour,
                                 f.minute, f.second, f.microsecond, tz);
  if (t.next_day) dt = add(dt, 1, 0);
  if (t.next_second) dt = add(dt, 0, 1);
  return dt;
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
  // Made once and kept: the support library is one per process, so every
  // module raises the very same class.
  static PyObject* cls = velna::py::keep_new(PyErr_NewExceptionWithDoc(
      "velna.ParserError", "Raised when a date-time text is not in an ISO 8601 form.",
      PyExc_ValueError, nullptr));
  return cls;
}

pybind11::object utcnow() {
  ensure_datetime_api();
  const velna::time::DateTime now = velna::time::date_time_from_micros(velna::time::now_micros());
  return make_datetime(static_cast<int>(now.date.year), now.date.month, now.date.day, now.hour,
                       now.minute, now.second, now.microsecond, utc());
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
