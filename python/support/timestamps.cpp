#include "timestamps.h"
#include "velna_py.h"

#include <datetime.h>

#include <cerrno>
#include <optional>
#include <string>

#include "fast_path.h"
#include "velna/time.h"

namespace velna::py::time {
namespace {

namespace pyb = pybind11;

struct Names {
  VELNA_PY_NAME_FIELD(fromutc)
  VELNA_PY_NAME_FIELD(__module__)
  VELNA_PY_NAME_FIELD(__qualname__)
  VELNA_PY_NAME_FIELD(datetime)
};
const Names& N() { return table<Names>(); }

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
  static FirstUse type{"decimal", "Decimal"};
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

// from_timestamp is the UTC datetime of a POSIX time stamp, read by the
// core as the interpreter would read it but without its C library's time_t
// (32 bits wide in Debian's armhf interpreter, where it fails past 2038).
pyb::object from_timestamp(double ts) {
  const velna::time::Stamp s = velna::time::date_time_from_stamp(ts);
  switch (s.error) {
    case velna::time::StampError::None:
      break;
    case velna::time::StampError::TooLarge: {
      pyb::object f = steal(PyFloat_FromDouble(ts));
      PyErr_Format(PyExc_ValueError, "The specified timestamp %R is too large.", f.ptr());
      raise();
    }
    case velna::time::StampError::NotANumber:
      PyErr_SetString(PyExc_ValueError, "Invalid value NaN (not a number)");
      raise();
    case velna::time::StampError::OutOfRange:
      PyErr_SetString(PyExc_OverflowError, "timestamp out of range for platform time_t");
      raise();
    case velna::time::StampError::YearOverflow:
      errno = EOVERFLOW;
      PyErr_SetFromErrno(PyExc_OSError);
      raise();
  }
  const velna::time::DateTime& f = s.utc;
  return make_datetime(static_cast<int>(f.date.year), f.date.month, f.date.day, f.hour, f.minute,
                       f.second, f.microsecond, utc());
}

// time.struct_time, imported on first use and kept for the life of the
// process.
PyObject* struct_time_type() {
  static FirstUse type{"time", "struct_time"};
  return type;
}

// date_of is datetime.date(year, month, day) made by the type itself, so that
// values it refuses fail with the runtime's own errors.
pyb::object date_of(PyObject* year, PyObject* month, int day) {
  pyb::object d = steal(PyLong_FromLong(day));
  return steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(PyDateTimeAPI->DateType),
                                            year, month, d.ptr(), nullptr));
}

// integer_field is field |i| of |seq| as an integer (operator.index); empty
// when it lies beyond 64 bits.
std::optional<long long> integer_field(PyObject* seq, Py_ssize_t i, pyb::object* as_int = nullptr) {
  pyb::object item = steal(PySequence_GetItem(seq, i));
  pyb::object n = steal(PyNumber_Index(item.ptr()));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
  if (v == -1 && PyErr_Occurred()) raise();
  if (as_int) *as_int = n;
  if (overflow) return std::nullopt;
  return v;
}

// from_struct_time is the UTC time of a struct_time's year, month, day,
// hour, minute and second, as time.gmtime gave them: the fields after the
// month count on from the first of the month (the inverse of gmtime), and
// the result is a POSIX timestamp.
pyb::object from_struct_time(PyObject* v) {
  pyb::object year = steal(PySequence_GetItem(v, 0));
  pyb::object month = steal(PySequence_GetItem(v, 1));
  pyb::object first = date_of(year.ptr(), month.ptr(), 1);
  std::optional<long long> rest[4];
  pyb::object exact[4];
  for (int i = 0; i < 4; ++i) rest[i] = integer_field(v, i + 2, &exact[i]);
  std::optional<std::int64_t> seconds;
  if (rest[0] && rest[1] && rest[2] && rest[3])
    seconds = velna::time::seconds_from_civil(PyDateTime_GET_YEAR(first.ptr()),
                                              PyDateTime_GET_MONTH(first.ptr()), *rest[0], *rest[1],
                                              *rest[2], *rest[3]);
  if (seconds) return from_timestamp(static_cast<double>(*seconds));
  // Beyond 64 bits: far too large a timestamp, refused as such.
  double f[4];
  for (int i = 0; i < 4; ++i) {
    f[i] = PyLong_AsDouble(exact[i].ptr());
    if (f[i] == -1.0 && PyErr_Occurred()) raise();
  }
  const double days = static_cast<double>(velna::time::days_from_civil(
                          PyDateTime_GET_YEAR(first.ptr()), PyDateTime_GET_MONTH(first.ptr()), 1)) -
                      1 + f[0];
  return from_timestamp(((days * 24 + f[1]) * 60 + f[2]) * 60 + f[3]);
}

// from_iso_calendar is midnight UTC of an ISO week date given as a
// (year, week, weekday) tuple. The week and the day are checked first, then
// the year by the date type; a date past the year 9999 overflows as date
// arithmetic does.
pyb::object from_iso_calendar(PyObject* v) {
  const std::optional<long long> week = integer_field(v, 1);
  const std::optional<long long> day = integer_field(v, 2);
  if (!week || *week < 1 || *week > 53) {
    PyErr_SetString(PyExc_ValueError, "ISO Calendar week value must be between 1-53.");
    raise();
  }
  if (!day || *day < 1 || *day > 7) {
    PyErr_SetString(PyExc_ValueError, "ISO Calendar day value must be between 1-7");
    raise();
  }
  pyb::object year = steal(PySequence_GetItem(v, 0));
  pyb::object january = steal(PyLong_FromLong(1));
  const int y = PyDateTime_GET_YEAR(date_of(year.ptr(), january.ptr(), 4).ptr());
  const std::int64_t offset =
      velna::time::days_from_iso_week(y, static_cast<int>(*week), static_cast<int>(*day)) -
      velna::time::days_from_civil(y, 1, 4);
  return add(make_datetime(y, 1, 4, 0, 0, 0, 0, utc()), static_cast<int>(offset), 0);
}

// utc_now_as is the current UTC time's fields with the tzinfo |tz|.
pyb::object utc_now_as(PyObject* tz) {
  const velna::time::DateTime now = velna::time::date_time_from_micros(velna::time::now_micros());
  return make_datetime(static_cast<int>(now.date.year), now.date.month, now.date.day, now.hour,
                       now.minute, now.second, now.microsecond, tz);
}

// now_in is the current time in the time zone |tz|, as datetime.now(tz)
// gives it.
pyb::object now_in(PyObject* tz) {
  return steal(PyObject_CallMethodObjArgs(tz, N().fromutc, utc_now_as(tz).ptr(), nullptr));
}

// arrow_datetime is the datetime of an arrow.Arrow (or of a class derived
// from it), recognised by its class's module and name so that arrow need not
// be loaded; null for any other object.
pyb::object arrow_datetime(PyObject* v) {
  PyObject* mro = Py_TYPE(v)->tp_mro;
  const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    pyb::object module = own(PyObject_GetAttr(base, N().__module__));
    pyb::object name = own(PyObject_GetAttr(base, N().__qualname__));
    if (!module || !name) {
      PyErr_Clear();
      continue;
    }
    if (PyUnicode_Check(module.ptr()) && PyUnicode_Check(name.ptr()) &&
        PyUnicode_CompareWithASCIIString(module.ptr(), "arrow.arrow") == 0 &&
        PyUnicode_CompareWithASCIIString(name.ptr(), "Arrow") == 0)
      return steal(PyObject_GetAttr(v, N().datetime));
  }
  return {};
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
  return utc_now_as(utc());
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
    return from_timestamp(PyFloat_AS_DOUBLE(f.ptr()));
  }
  if (pyb::object dt = arrow_datetime(v); dt && PyDateTime_Check(dt.ptr())) return to_datetime(dt);
  if (PyTZInfo_Check(v)) return now_in(v);
  const int is_struct_time = PyObject_IsInstance(v, struct_time_type());
  if (is_struct_time < 0) raise();
  if (is_struct_time) return from_struct_time(v);
  if (PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 3) return from_iso_calendar(v);
  PyErr_Format(PyExc_TypeError, "Cannot parse single argument of type %R.",
               reinterpret_cast<PyObject*>(Py_TYPE(v)));
  raise();
}

}  // namespace velna::py::time
