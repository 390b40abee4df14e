// velna.event: the record of one entry of the key server's event log
// (Event), and the schema that loads the server's event objects (EventSchema).
//
// Event is an ordinary Python class (instances keep their attributes in
// __dict__, in the order of kFields) whose methods are native. The schema
// builds records without going through __init__ when the module's Event is
// still this class.
#include <pybind11/pybind11.h>
// clang-format off
#include <datetime.h>
// clang-format on

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "schema.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

constexpr std::array<const char*, 11> kFields = {
    "action",
    "id",
    "changes",
    "client_app_name",
    "container_expired_at",
    "container_id",
    "container_modified_at",
    "container_type",
    "date",
    "related_user_id",
    "type",
};
constexpr std::size_t kCount = kFields.size();

// Interned attribute names, kept for the life of the process.
std::array<PyObject*, kCount> names{};
PyObject* event_class = nullptr;

void intern_names() {
  if (names[0]) return;
  for (std::size_t i = 0; i < kCount; ++i) {
    names[i] = PyUnicode_InternFromString(kFields[i]);
    if (!names[i]) throw pyb::error_already_set();
  }
}

// fill stores the eleven values in |self|'s __dict__, in field order.
int fill(PyObject* self, PyObject* const* values) {
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (!dict) return -1;
  int rc = 0;
  for (std::size_t i = 0; i < kCount && rc == 0; ++i)
    rc = PyDict_SetItem(dict, names[i], values[i]);
  Py_DECREF(dict);
  return rc;
}

PyObject* event_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {kFields[0], kFields[1], kFields[2],  kFields[3],
                                 kFields[4], kFields[5], kFields[6],  kFields[7],
                                 kFields[8], kFields[9], kFields[10], nullptr};
  std::array<PyObject*, kCount> v{};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOOOOOO:__init__", const_cast<char**>(kwlist),
                                   &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8],
                                   &v[9], &v[10]))
    return nullptr;
  if (fill(self, v.data()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// as_tuple is the record's eleven attributes in field order.
PyObject* as_tuple(PyObject* self) {
  PyObject* t = PyTuple_New(kCount);
  if (!t) return nullptr;
  for (std::size_t i = 0; i < kCount; ++i) {
    PyObject* v = PyObject_GetAttr(self, names[i]);
    if (!v) {
      Py_DECREF(t);
      return nullptr;
    }
    PyTuple_SET_ITEM(t, i, v);
  }
  return t;
}

// compare: records compare as the tuples of their attributes, and only with
// a record of exactly the same class.
PyObject* compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  PyObject* a = as_tuple(self);
  if (!a) return nullptr;
  PyObject* b = as_tuple(other);
  if (!b) {
    Py_DECREF(a);
    return nullptr;
  }
  PyObject* r = PyObject_RichCompare(a, b, op);
  Py_DECREF(a);
  Py_DECREF(b);
  return r;
}

PyObject* event_eq(PyObject* self, PyObject* other) { return compare(self, other, Py_EQ); }
PyObject* event_lt(PyObject* self, PyObject* other) { return compare(self, other, Py_LT); }
PyObject* event_le(PyObject* self, PyObject* other) { return compare(self, other, Py_LE); }
PyObject* event_gt(PyObject* self, PyObject* other) { return compare(self, other, Py_GT); }
PyObject* event_ge(PyObject* self, PyObject* other) { return compare(self, other, Py_GE); }

// __ne__ is the negation of __eq__, and NotImplemented where that is.
PyObject* event_ne(PyObject* self, PyObject* other) {
  PyObject* r = compare(self, other, Py_EQ);
  if (!r || r == Py_NotImplemented) return r;
  int truth = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (truth < 0) return nullptr;
  return PyBool_FromLong(!truth);
}

// __repr__: "Event(action='added', id=5, ...)", named after the record's own
// class; an attribute that was deleted shows as NOTHING.
PyObject* event_repr(PyObject* self, PyObject*) {
  int guard = Py_ReprEnter(self);
  if (guard != 0) return guard > 0 ? PyUnicode_FromString("...") : nullptr;
  pyb::object out;
  try {
    pyb::object cls =
        pyb::reinterpret_borrow<pyb::object>(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    std::string text = pyb::str(cls.attr("__qualname__")).cast<std::string>();
    auto cut = text.rfind(">.");
    if (cut != std::string::npos) text = text.substr(cut + 2);
    text += '(';
    for (std::size_t i = 0; i < kCount; ++i) {
      if (i) text += ", ";
      text += kFields[i];
      text += '=';
      PyObject* v = PyObject_GetAttr(self, names[i]);
      if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
        PyErr_Clear();
        text += "NOTHING";
        continue;
      }
      auto value = pyb::reinterpret_steal<pyb::object>(v);
      text += pyb::repr(value).cast<std::string>();
    }
    text += ')';
    out = pyb::str(text);
  } catch (pyb::error_already_set& e) {
    Py_ReprLeave(self);
    e.restore();
    return nullptr;
  }
  Py_ReprLeave(self);
  return out.release().ptr();
}

PyMethodDef methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(event_init)),
     METH_VARARGS | METH_KEYWORDS, "Builds a record from its eleven attributes."},
    {"__repr__", event_repr, METH_NOARGS, nullptr},
    {"__eq__", event_eq, METH_O, nullptr},
    {"__ne__", event_ne, METH_O, nullptr},
    {"__lt__", event_lt, METH_O, nullptr},
    {"__le__", event_le, METH_O, nullptr},
    {"__gt__", event_gt, METH_O, nullptr},
    {"__ge__", event_ge, METH_O, nullptr},
};

// make_event_class builds Event as a plain class and installs the native
// methods on it as method descriptors.
pyb::object make_event_class() {
  pyb::dict ns;
  ns["__module__"] = "velna.event";
  ns["__qualname__"] = "Event";
  ns["__doc__"] =
      "One entry of the key server's event log: what was done (action), to which kind of object "
      "(type), when (date), and the details the server reports with it.";
  ns["__hash__"] = pyb::none();
  pyb::tuple fields(kCount);
  for (std::size_t i = 0; i < kCount; ++i) fields[i] = pyb::str(kFields[i]);
  ns["__match_args__"] = fields;
  pyb::object type_ =
      pyb::reinterpret_borrow<pyb::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  pyb::object cls = type_("Event",
                          pyb::make_tuple(pyb::reinterpret_borrow<pyb::object>(
                              reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                          ns);
  for (PyMethodDef& def : methods) {
    PyObject* d = PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def);
    if (!d) throw pyb::error_already_set();
    if (PyObject_SetAttrString(cls.ptr(), def.ml_name, d) < 0) {
      Py_DECREF(d);
      throw pyb::error_already_set();
    }
    Py_DECREF(d);
  }
  return cls;
}

// The schema's fields in declaration order: attribute, wire key (when it
// differs), kind, and whether JSON null is taken.
namespace vs = velna::py::schema;
struct WireField {
  const char* name;
  const char* load_from;
  vs::Kind kind;
  bool allow_none;
};
constexpr WireField kWire[] = {
    {"action", "", vs::Kind::Str, false},
    {"changes", "", vs::Kind::Dict, true},
    {"client_app_name", "clientAppName", vs::Kind::Str, true},
    {"container_expired_at", "containerExpiredAt", vs::Kind::DateTime, true},
    {"container_id", "containerId", vs::Kind::Uuid, true},
    {"container_modified_at", "containerModifiedAt", vs::Kind::DateTime, true},
    {"container_type", "containerType", vs::Kind::Str, true},
    {"date", "", vs::Kind::DateTime, false},
    {"id", "eventId", vs::Kind::Int, false},
    {"related_user_id", "relatedUserId", vs::Kind::Uuid, true},
    {"type", "", vs::Kind::Str, false},
};

PyObject* module_ref = nullptr;  // velna.event, kept for the life of the process
PyObject* schema_class = nullptr;
PyObject* native_make_event = nullptr;

// make_event is the post-load hook: the module's Event (looked up now) built
// with the loaded mapping as named arguments.
pyb::object make_event(pyb::object /*self*/, pyb::object data) {
  pyb::object cls = pyb::reinterpret_borrow<pyb::object>(module_ref).attr("Event");
  PyObject* r = PyObject_Call(cls.ptr(), pyb::tuple().ptr(), data.ptr());
  if (!r) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(r);
}

// ---- the common case of a load, without the general machinery -------------
//
// Event retrieval loads thousands of event objects at once, nearly all of
// one shape: every key present under its wire name, text, integers, objects,
// identifiers in their canonical form and date-times such as
// "2026-01-02T03:04:05.123456Z". fast_item converts such an object exactly
// as the general load would; for anything else it gives up (nullopt, no
// error set) and the whole load goes the general way, which also reports
// the errors.

struct Stdlib {
  PyObject* uuid_class = nullptr;
  PyObject* safe_unknown = nullptr;  // uuid.SafeUUID.unknown
  PyObject* s_int = nullptr;
  PyObject* s_is_safe = nullptr;
  PyObject* utc = nullptr;
  std::array<PyObject*, kCount> wire{};  // the key each attribute is read from
};
Stdlib* std_ = nullptr;

void init_stdlib() {
  if (std_) return;
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) throw pyb::error_already_set();
  auto* s = new Stdlib;
  pyb::module_ uuid = pyb::module_::import("uuid");
  s->uuid_class = velna::py::keep(uuid.attr("UUID"));
  s->safe_unknown = velna::py::keep(uuid.attr("SafeUUID").attr("unknown"));
  s->s_int = PyUnicode_InternFromString("int");
  s->s_is_safe = PyUnicode_InternFromString("is_safe");
  s->utc = velna::py::keep(pyb::module_::import("datetime").attr("timezone").attr("utc"));
  std_ = s;
}

bool digits(const char* p, int n, int& out) {
  out = 0;
  for (int i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    out = out * 10 + (p[i] - '0');
  }
  return true;
}

// fast_datetime reads "YYYY-MM-DDTHH:MM:SS[.f{1,6}][Z|+HH:MM|-HH:MM]".
PyObject* fast_datetime(PyObject* v) {
  Py_ssize_t n = 0;
  const char* t =
      PyUnicode_Check(v) && PyUnicode_IS_ASCII(v) ? PyUnicode_AsUTF8AndSize(v, &n) : nullptr;
  if (!t || n < 19 || t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':' || t[16] != ':')
    return nullptr;
  int y, mo, d, h, mi, sec, us = 0;
  if (!digits(t, 4, y) || !digits(t + 5, 2, mo) || !digits(t + 8, 2, d) || !digits(t + 11, 2, h) ||
      !digits(t + 14, 2, mi) || !digits(t + 17, 2, sec))
    return nullptr;
  Py_ssize_t i = 19;
  if (i < n && t[i] == '.') {
    int count = 0;
    for (++i; i < n && t[i] >= '0' && t[i] <= '9'; ++i, ++count) {
      if (count < 6) us = us * 10 + (t[i] - '0');
    }
    if (count == 0 || count > 6) return nullptr;
    for (; count < 6; ++count) us *= 10;
  }
  PyObject* tz = Py_None;
  pyb::object owned;
  if (i < n) {
    if (t[i] == 'Z' && i + 1 == n) {
      tz = std_->utc;
    } else if ((t[i] == '+' || t[i] == '-') && i + 6 == n && t[i + 3] == ':') {
      int oh, om;
      if (!digits(t + i + 1, 2, oh) || !digits(t + i + 4, 2, om)) return nullptr;
      const int sign = t[i] == '-' ? -1 : 1;
      PyObject* delta = PyDelta_FromDSU(0, sign * (oh * 3600 + om * 60), 0);
      if (!delta) return nullptr;
      owned = pyb::reinterpret_steal<pyb::object>(PyTimeZone_FromOffset(delta));
      Py_DECREF(delta);
      if (!owned) return nullptr;
      tz = owned.ptr();
    } else {
      return nullptr;
    }
  }
  PyObject* r = PyDateTimeAPI->DateTime_FromDateAndTime(y, mo, d, h, mi, sec, us, tz,
                                                        PyDateTimeAPI->DateTimeType);
  return r;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// fast_uuid reads the canonical 8-4-4-4-12 form into a uuid.UUID.
PyObject* fast_uuid(PyObject* v) {
  Py_ssize_t n = 0;
  const char* t =
      PyUnicode_Check(v) && PyUnicode_IS_ASCII(v) ? PyUnicode_AsUTF8AndSize(v, &n) : nullptr;
  if (!t || n != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return nullptr;
  std::uint64_t half[2] = {0, 0};
  int nibbles = 0;
  for (Py_ssize_t i = 0; i < 36; ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) continue;
    const int x = hex_value(t[i]);
    if (x < 0) return nullptr;
    half[nibbles / 16] = (half[nibbles / 16] << 4) | static_cast<std::uint64_t>(x);
    ++nibbles;
  }
  pyb::object hi = pyb::reinterpret_steal<pyb::object>(PyLong_FromUnsignedLongLong(half[0]));
  pyb::object lo = pyb::reinterpret_steal<pyb::object>(PyLong_FromUnsignedLongLong(half[1]));
  pyb::object shift = pyb::reinterpret_steal<pyb::object>(PyLong_FromLong(64));
  if (!hi || !lo || !shift) return nullptr;
  pyb::object high = pyb::reinterpret_steal<pyb::object>(PyNumber_Lshift(hi.ptr(), shift.ptr()));
  if (!high) return nullptr;
  pyb::object value = pyb::reinterpret_steal<pyb::object>(PyNumber_Or(high.ptr(), lo.ptr()));
  if (!value) return nullptr;
  auto* cls = reinterpret_cast<PyTypeObject*>(std_->uuid_class);
  PyObject* id = cls->tp_alloc(cls, 0);
  if (!id) return nullptr;
  if (PyObject_GenericSetAttr(id, std_->s_int, value.ptr()) < 0 ||
      PyObject_GenericSetAttr(id, std_->s_is_safe, std_->safe_unknown) < 0) {
    Py_DECREF(id);
    return nullptr;
  }
  return id;
}

// The kind of each attribute, in field order (kFields).
enum class Fast { Str, StrOrNone, Int, DictOrNone, DateTime, DateTimeOrNone, UuidOrNone };
constexpr std::array<Fast, kCount> kFast = {
    Fast::Str,
    Fast::Int,
    Fast::DictOrNone,
    Fast::StrOrNone,
    Fast::DateTimeOrNone,
    Fast::UuidOrNone,
    Fast::DateTimeOrNone,
    Fast::StrOrNone,
    Fast::DateTime,
    Fast::UuidOrNone,
    Fast::Str,
};

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// fast_value converts one value (a new reference), or null when the general
// load must judge it. Clears any error it caused.
// Identifiers recur across the events of one load (the same container, the
// same users); each text is read once per load. UUIDs are immutable, so
// records may share one.
PyObject* cached_uuid(PyObject* v, PyObject* cache) {
  PyObject* hit = PyDict_GetItemWithError(cache, v);
  if (hit) return new_ref(hit);
  if (PyErr_Occurred()) return nullptr;
  PyObject* id = fast_uuid(v);
  if (id && PyDict_SetItem(cache, v, id) < 0) Py_CLEAR(id);
  return id;
}

PyObject* fast_value(Fast kind, PyObject* v, PyObject* cache) {
  PyObject* r = nullptr;
  switch (kind) {
    case Fast::StrOrNone:
      if (v == Py_None) return new_ref(v);
      [[fallthrough]];
    case Fast::Str:
      return PyUnicode_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::Int:
      return PyLong_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::DictOrNone:
      return v == Py_None || PyDict_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::DateTimeOrNone:
      if (v == Py_None) return new_ref(v);
      [[fallthrough]];
    case Fast::DateTime:
      r = fast_datetime(v);
      break;
    case Fast::UuidOrNone:
      if (v == Py_None) return new_ref(v);
      r = PyUnicode_CheckExact(v) ? cached_uuid(v, cache) : nullptr;
      break;
  }
  if (!r) PyErr_Clear();
  return r;
}

// fast_item builds the Event of one event object, or gives up.
PyObject* fast_item(PyObject* item, PyObject* cache) {
  if (!PyDict_CheckExact(item)) return nullptr;
  pyb::dict attrs;
  for (std::size_t i = 0; i < kCount; ++i) {
    // An object that also carries the attribute name would load from it.
    if (std_->wire[i] != names[i] && PyDict_GetItemWithError(item, names[i])) return nullptr;
    PyObject* raw = PyDict_GetItemWithError(item, std_->wire[i]);
    if (!raw) {
      PyErr_Clear();
      return nullptr;
    }
    PyObject* v = fast_value(kFast[i], raw, cache);
    if (!v) return nullptr;
    int rc = PyDict_SetItem(attrs.ptr(), names[i], v);
    Py_DECREF(v);
    if (rc < 0) {
      PyErr_Clear();
      return nullptr;
    }
  }
  auto* cls = reinterpret_cast<PyTypeObject*>(event_class);
  PyObject* event = cls->tp_alloc(cls, 0);
  if (!event) {
    PyErr_Clear();
    return nullptr;
  }
  if (PyObject_GenericSetDict(event, attrs.ptr(), nullptr) < 0) {
    PyErr_Clear();
    Py_DECREF(event);
    return nullptr;
  }
  return event;
}

// fast_load is the list of Events for |data|, or nothing when the general
// load must run.
std::optional<pyb::list> fast_load(pyb::handle self, pyb::handle data, pyb::handle many) {
  if (Py_TYPE(self.ptr()) != reinterpret_cast<PyTypeObject*>(schema_class) ||
      !PyList_CheckExact(data.ptr()))
    return std::nullopt;
  pyb::object m =
      many.is_none() ? pyb::object(self.attr("many")) : pyb::reinterpret_borrow<pyb::object>(many);
  if (PyObject_IsTrue(m.ptr()) != 1 || !self.attr("only").is_none() ||
      PyObject_IsTrue(self.attr("exclude").ptr()) != 0 ||
      PyObject_IsTrue(self.attr("dump_only").ptr()) != 0)
    return std::nullopt;
  pyb::object cls = pyb::reinterpret_borrow<pyb::object>(module_ref).attr("Event");
  PyObject* hook =
      PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(schema_class)->tp_dict, "make_event");
  if (cls.ptr() != event_class || hook != native_make_event) return std::nullopt;
  const Py_ssize_t n = PyList_GET_SIZE(data.ptr());
  pyb::list out(n);
  pyb::dict cache;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* event = fast_item(PyList_GET_ITEM(data.ptr(), i), cache.ptr());
    if (!event) return std::nullopt;
    PyList_SET_ITEM(out.ptr(), i, event);
  }
  return out;
}

pyb::object load(pyb::object self, pyb::object data, pyb::object many, pyb::object partial) {
  if (auto events = fast_load(self, data, many))
    return vs::unmarshal_result()(*events, pyb::dict());
  return vs::base_class().attr("load")(self, data, "many"_a = many, "partial"_a = partial);
}

pyb::object make_schema_class() {
  vs::Definition spec;
  for (const WireField& w : kWire) {
    vs::Field f;
    f.name = w.name;
    f.kind = w.kind;
    f.load_from = w.load_from;
    f.allow_none = w.allow_none;
    spec.fields.push_back(std::move(f));
  }
  spec.post_load.push_back({"make_event", false});
  pyb::dict ns;
  ns["make_event"] = vs::instance_method(
      pyb::cpp_function(&make_event, pyb::name("make_event"), "self"_a, "data"_a,
                        "Builds the Event record of one loaded event object."));
  native_make_event = velna::py::keep(ns["make_event"]);
  ns["load"] = vs::instance_method(pyb::cpp_function(
      &load, pyb::name("load"), "self"_a, "data"_a, "many"_a = pyb::none(),
      "partial"_a = pyb::none(), "Loads event objects; returns the pair (data, errors)."));
  return vs::make_class("velna.event", "EventSchema",
                        "Loads the key server's event objects into Event records.", std::move(spec),
                        ns);
}

}  // namespace

PYBIND11_MODULE(event, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "The record of one key-server event and the schema that loads it.";
  intern_names();
  pyb::object cls = make_event_class();
  event_class = velna::py::keep(cls);
  m.attr("Event") = cls;
  if (!module_ref) module_ref = pyb::handle(m).inc_ref().ptr();
  m.attr("Schema") = vs::base_class();
  init_stdlib();
  for (std::size_t i = 0; i < kCount; ++i) {
    const char* wire = kFields[i];
    for (const WireField& w : kWire)
      if (std::string_view(w.name) == kFields[i] && *w.load_from) wire = w.load_from;
    std_->wire[i] = PyUnicode_InternFromString(wire);
  }
  pyb::object schema = make_schema_class();
  schema_class = velna::py::keep(schema);
  m.attr("EventSchema") = schema;
}
