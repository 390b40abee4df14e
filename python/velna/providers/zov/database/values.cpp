// Values: a Python value of a column becomes its value text (what the cipher
// encrypts), and the text read back becomes the Python value again.
#include "database.h"

#include <datetime.h>

#include "plain_class.h"
#include "timestamps.h"
#include "uuids.h"

namespace velna {
namespace zov_database {

using namespace pyb::literals;
using store::ValueType;

namespace {

std::string qualified(const store::Table& t, const store::Column& c) {
  return std::string(t.name) + "." + std::string(c.name);
}

std::string type_name(pyb::handle v) { return Py_TYPE(v.ptr())->tp_name; }

// The datetime C API pointer is per source; filled at first use.
void ensure_datetime_api() {
  if (PyDateTimeAPI) return;
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw pyb::error_already_set();
}

// utc_fields: the fields of |o| when it is exactly a datetime in
// timezone.utc, whose text the core writes.
std::optional<velna::time::DateTime> utc_fields(PyObject* o) {
  ensure_datetime_api();
  if (!PyDateTime_CheckExact(o)) return std::nullopt;
  auto* dt = reinterpret_cast<PyDateTime_DateTime*>(o);
  if (!dt->hastzinfo || dt->tzinfo != PyDateTime_TimeZone_UTC) return std::nullopt;
  return velna::time::DateTime{
      {PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o)},
      PyDateTime_DATE_GET_HOUR(o),
      PyDateTime_DATE_GET_MINUTE(o),
      PyDateTime_DATE_GET_SECOND(o),
      PyDateTime_DATE_GET_MICROSECOND(o)};
}

std::string iso_text(pyb::handle value) {
  if (auto t = utc_fields(value.ptr())) return store::utc_text(*t);
  pyb::object v = vp::borrow(value.ptr());
  if (!vp::is_instance(v, names.datetime_class)) v = velna::py::time::to_datetime(v);
  if (v.attr("utcoffset")().is_none()) v = v.attr("replace")("tzinfo"_a = vp::borrow(names.utc));
  return v.attr("isoformat")().cast<std::string>();
}

std::string hex_of(pyb::handle value) {
  pyb::object b = vp::borrow(value.ptr());
  if (!velna::py::is_bytes(b)) b = b.attr("encode")("utf-8");
  if (!velna::py::is_bytes(b)) velna::py::raise_type_error("encode() did not return bytes");
  return velna::to_hex(velna::py::view_of(b));
}

}  // namespace

Cell to_cell(const store::Table& t, const store::Column& c, pyb::handle v) {
  if (v.is_none()) return Cell::null();
  switch (c.type) {
    case ValueType::String: {
      if (!velna::py::is_text(v))
        velna::py::raise_value_error("Column " + qualified(t, c) + " takes text, not " +
                                     type_name(v) + ".");
      std::string_view s = velna::py::text_utf8(v);
      store::check_storable(t, c, s);
      return Cell::of(std::string(s));
    }
    case ValueType::Integer:
    case ValueType::BigInteger: {
      if (PyBool_Check(v.ptr())) return Cell::of(std::int64_t{v.ptr() == Py_True ? 1 : 0});
      if (!PyLong_Check(v.ptr()))
        velna::py::raise_value_error("Column " + qualified(t, c) + " takes integers, not " +
                                     type_name(v) + ".");
      pyb::object as_int = vp::steal(PyNumber_Long(v.ptr()));
      int overflow = 0;
      long long n = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
      if (overflow == 0) return Cell::of(static_cast<std::int64_t>(n));
      store::check_wide_integer(t, c);
      return Cell::of(text_of(as_int));
    }
    case ValueType::Boolean: {
      return Cell::of(std::string(store::boolean_text(vp::truthy(v))));
    }
    case ValueType::Json:
      return Cell::of(pyb::handle(names.json_dumps)(v).cast<std::string>());
    case ValueType::Guid: {
      char hex[32];
      if (vp::uuid_hex(v.ptr(), hex)) return Cell::of(std::string(hex, sizeof hex));
      pyb::object id = vp::borrow(v.ptr());
      if (!vp::is_instance(v, names.uuid_class)) id = vp::borrow(names.uuid_class)(v);
      return Cell::of(pyb::str(id.attr("hex")).cast<std::string>());  // "%.32x" of its int
    }
    case ValueType::Binary:
      return Cell::of(hex_of(v));
    case ValueType::DateTime:
      return Cell::of(iso_text(v));
  }
  return Cell::null();
}

pyb::object utf8_text(std::string_view s) {
  return vp::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

pyb::object from_cell(const store::Column& c, const Cell& cell) {
  if (cell.kind == Cell::Kind::Null) return pyb::none();
  if (cell.kind == Cell::Kind::Integer) return pyb::int_(cell.integer);
  const std::string& s = cell.text;
  switch (c.type) {
    case ValueType::String:
      return utf8_text(s);
    case ValueType::Integer:
    case ValueType::BigInteger:
      if (auto n = store::parse_stored_integer(s)) return pyb::int_(*n);
      return pyb::int_(utf8_text(s));  // big integers, and the runtime's own error otherwise
    case ValueType::Boolean:
      return pyb::bool_(store::parse_boolean(s));
    case ValueType::Json: {
      pyb::object t = utf8_text(s);
      try {
        return pyb::handle(names.json_loads)(t);
      } catch (pyb::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
      }
      // Rows written before JSON text was used hold the value's literal form.
      return pyb::handle(names.literal_eval)(t);
    }
    case ValueType::Guid:
      if (PyObject* id = vp::uuid_from_hex(s)) return vp::steal(id);
      return vp::borrow(names.uuid_class)(utf8_text(s));
    case ValueType::Binary:
      if (auto b = store::parse_hex(s)) return velna::py::to_bytes(*b);
      return vp::borrow(names.unhexlify)(utf8_text(s));
    case ValueType::DateTime: {
      if (auto f = store::parse_utc_text(s)) {
        ensure_datetime_api();
        return vp::steal(PyDateTimeAPI->DateTime_FromDateAndTime(
            static_cast<int>(f->date.year), f->date.month, f->date.day, f->hour, f->minute,
            f->second, f->microsecond, PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType));
      }
      pyb::object t = utf8_text(s);
      pyb::object dt = vp::own(PyObject_CallFunctionObjArgs(names.fromisoformat, t.ptr(), nullptr));
      if (dt) {
        if (dt.attr("utcoffset")().is_none())
          dt = dt.attr("replace")("tzinfo"_a = vp::borrow(names.utc));
        return dt;
      }
      PyErr_Clear();
      return velna::py::time::to_datetime(t);
    }
  }
  return pyb::none();
}

void bind_values(pyb::module_& m) {
  m.def(
      "_to_text",
      [](std::string table, std::string column, pyb::object value) -> pyb::object {
        const store::Table* t = store::find_table(table);
        if (!t || t->column_index(column) < 0) velna::py::raise_value_error("unknown column");
        Cell c = to_cell(*t, t->columns[t->column_index(column)], value);
        if (c.kind == Cell::Kind::Null) return pyb::none();
        if (c.kind == Cell::Kind::Integer) return pyb::str(std::to_string(c.integer));
        return utf8_text(c.text);
      },
      "The value text of |value| for a column.", "table"_a, "column"_a, "value"_a);
  m.def(
      "_from_text",
      [](std::string table, std::string column, pyb::object text) -> pyb::object {
        const store::Table* t = store::find_table(table);
        if (!t || t->column_index(column) < 0) velna::py::raise_value_error("unknown column");
        if (text.is_none()) return pyb::none();
        return from_cell(t->columns[t->column_index(column)], Cell::of(text.cast<std::string>()));
      },
      "The value of a column's value text.", "table"_a, "column"_a, "text"_a);
}

}  // namespace zov_database
}  // namespace velna
