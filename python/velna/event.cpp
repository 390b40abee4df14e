// velna.event: the record of one entry of the key server's event log
// (Event), and the schema that loads the server's event objects (EventSchema).
//
// Event is an ordinary Python class (instances keep their attributes in
// __dict__, in the order of kFields) whose methods are native. The schema
// builds records without going through __init__ when the module's Event is
// still this class, and the event retrieval module may have pages of events
// decoded straight into records (PageReader).
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "event_pages.h"
#include "fast_path.h"
#include "json_text.h"
#include "plain_class.h"
#include "schema.h"
#include "velna/utils.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
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

// wire_keys is the key of an answer of the server that each field is read
// from, in field order.
std::array<const char*, kCount> wire_keys();

struct Names {
  const std::array<PyObject*, kCount> fields = vp::intern_all(kFields);
  const std::array<PyObject*, kCount> wire = vp::intern_all(wire_keys());
  VELNA_PY_NAME_FIELD(is_safe)
  VELNA_PY_NAME_FIELD(make_event)
  VELNA_PY_NAME_FIELD(load)
  PyObject* const int_ = vp::intern("int");
};
const Names& N() { return vp::table<Names>(); }

PyObject* event_class = nullptr;

// The methods of Event are C functions for the runtime's method table: they
// return null with the error set, and pybind11 objects own the references.

// fill stores the eleven values in |self|'s __dict__, in field order.
int fill(PyObject* self, PyObject* const* values) {
  pyb::object dict = vp::own(PyObject_GenericGetDict(self, nullptr));
  if (!dict) return -1;
  for (std::size_t i = 0; i < kCount; ++i)
    if (PyDict_SetItem(dict.ptr(), N().fields[i], values[i]) < 0) return -1;
  return 0;
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
  pyb::object t = vp::own(PyTuple_New(kCount));
  if (!t) return nullptr;
  for (std::size_t i = 0; i < kCount; ++i) {
    PyObject* v = PyObject_GetAttr(self, N().fields[i]);
    if (!v) return nullptr;
    PyTuple_SET_ITEM(t.ptr(), i, v);
  }
  return t.release().ptr();
}

// compare: records compare as the tuples of their attributes, and only with
// a record of exactly the same class.
PyObject* compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  pyb::object a = vp::own(as_tuple(self));
  if (!a) return nullptr;
  pyb::object b = vp::own(as_tuple(other));
  if (!b) return nullptr;
  return PyObject_RichCompare(a.ptr(), b.ptr(), op);
}

PyObject* event_eq(PyObject* self, PyObject* other) { return compare(self, other, Py_EQ); }
PyObject* event_lt(PyObject* self, PyObject* other) { return compare(self, other, Py_LT); }
PyObject* event_le(PyObject* self, PyObject* other) { return compare(self, other, Py_LE); }
PyObject* event_gt(PyObject* self, PyObject* other) { return compare(self, other, Py_GT); }
PyObject* event_ge(PyObject* self, PyObject* other) { return compare(self, other, Py_GE); }

// __ne__ is the negation of __eq__, and NotImplemented where that is.
PyObject* event_ne(PyObject* self, PyObject* other) {
  pyb::object r = vp::own(compare(self, other, Py_EQ));
  if (!r || r.ptr() == Py_NotImplemented) return r.release().ptr();
  const int truth = PyObject_IsTrue(r.ptr());
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
    std::string text = pyb::str(vp::type_of(self).attr("__qualname__")).cast<std::string>();
    auto cut = text.rfind(">.");
    if (cut != std::string::npos) text = text.substr(cut + 2);
    text += '(';
    for (std::size_t i = 0; i < kCount; ++i) {
      if (i) text += ", ";
      text += kFields[i];
      text += '=';
      PyObject* v = PyObject_GetAttr(self, N().fields[i]);
      if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
        PyErr_Clear();
        text += "NOTHING";
        continue;
      }
      text += pyb::repr(vp::own(v)).cast<std::string>();
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
  ns["__hash__"] = pyb::none();
  pyb::tuple fields(kCount);
  for (std::size_t i = 0; i < kCount; ++i) fields[i] = pyb::str(kFields[i]);
  ns["__match_args__"] = fields;
  pyb::object cls = vp::make_class(
      "velna.event", "Event", pyb::make_tuple(vp::object_type()),
      "One entry of the key server's event log: what was done (action), to which kind of object "
      "(type), when (date), and the details the server reports with it.",
      ns);
  for (PyMethodDef& def : methods)
    cls.attr(def.ml_name) =
        vp::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls.ptr()), &def));
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
vp::Member native_load;  // EventSchema.load

// make_event is the post-load hook: the module's Event (looked up now) built
// with the loaded mapping as named arguments.
pyb::object make_event(pyb::object /*self*/, pyb::object data) {
  pyb::object cls = pyb::handle(module_ref).attr("Event");
  return vp::steal(PyObject_Call(cls.ptr(), pyb::tuple().ptr(), data.ptr()));
}

// ---- the common case of a load, without the general machinery -------------
//
// Event retrieval loads thousands of event objects at once, nearly all of
// one shape: every key present under its wire name, text, integers, objects,
// identifiers in their canonical form and date-times such as
// "2026-01-02T03:04:05.123456Z". fast_item converts such an object exactly
// as the general load would; for anything else it gives up (nullopt, no
// error set) and the whole load goes the general way, which also reports
// the errors. The page reader below applies the same conversions to the
// JSON text itself.

std::array<std::string_view, kCount> wire_text{};  // the keys of N().wire, as UTF-8

std::array<const char*, kCount> wire_keys() {
  std::array<const char*, kCount> keys = kFields;
  for (std::size_t i = 0; i < kCount; ++i)
    for (const WireField& w : kWire)
      if (std::string_view(w.name) == kFields[i] && *w.load_from) keys[i] = w.load_from;
  return keys;
}

void init_wire_text() {
  const std::array<const char*, kCount> keys = wire_keys();
  for (std::size_t i = 0; i < kCount; ++i) wire_text[i] = keys[i];
}

// ascii_text is the text of a str that is all ASCII, or null.
const char* ascii_text(PyObject* v, Py_ssize_t& n) {
  return PyUnicode_Check(v) && PyUnicode_IS_ASCII(v) ? PyUnicode_AsUTF8AndSize(v, &n) : nullptr;
}

// fast_datetime and fast_uuid convert ASCII text (null: none) as the schema's
// kinds do; null without an error when it does not convert.
PyObject* fast_datetime(const char* t, Py_ssize_t n) {
  return t ? vs::datetime_from_ascii({t, static_cast<std::size_t>(n)}) : nullptr;
}

PyObject* fast_uuid(const char* t, Py_ssize_t n) {
  if (!t) return nullptr;
  const auto id = velna::utils::parse_uuid({t, static_cast<std::size_t>(n)});
  return id ? vs::uuid_of(*id) : nullptr;
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

bool takes_none(Fast kind) {
  return kind == Fast::StrOrNone || kind == Fast::DictOrNone || kind == Fast::DateTimeOrNone ||
         kind == Fast::UuidOrNone;
}

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// Identifiers recur across the events of one load (the same container, the
// same users); each text is read once per load. UUIDs are immutable, so
// records may share one.
PyObject* cached_uuid(PyObject* v, PyObject* cache) {
  PyObject* hit = PyDict_GetItemWithError(cache, v);
  if (hit) return new_ref(hit);
  if (PyErr_Occurred()) return nullptr;
  Py_ssize_t n = 0;
  const char* text = ascii_text(v, n);
  PyObject* id = fast_uuid(text, n);
  if (id && PyDict_SetItem(cache, v, id) < 0) Py_CLEAR(id);
  return id;
}

// fast_value converts one value (a new reference), or null when the general
// load must judge it. Clears any error it caused.
PyObject* fast_value(Fast kind, PyObject* v, PyObject* cache) {
  PyObject* r = nullptr;
  if (v == Py_None) return takes_none(kind) ? new_ref(v) : nullptr;
  switch (kind) {
    case Fast::StrOrNone:
    case Fast::Str:
      return PyUnicode_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::Int:
      return PyLong_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::DictOrNone:
      return PyDict_CheckExact(v) ? new_ref(v) : nullptr;
    case Fast::DateTimeOrNone:
    case Fast::DateTime: {
      Py_ssize_t n = 0;
      const char* text = ascii_text(v, n);
      r = fast_datetime(text, n);
      break;
    }
    case Fast::UuidOrNone:
      r = PyUnicode_CheckExact(v) ? cached_uuid(v, cache) : nullptr;
      break;
  }
  if (!r) PyErr_Clear();
  return r;
}

// new_event is a record of the module's own class with |attrs| as its
// __dict__; null without an error when it cannot be made.
PyObject* new_event(pyb::handle attrs) {
  auto* cls = reinterpret_cast<PyTypeObject*>(event_class);
  pyb::object event = vp::own(cls->tp_alloc(cls, 0));
  if (!event || PyObject_GenericSetDict(event.ptr(), attrs.ptr(), nullptr) < 0) {
    PyErr_Clear();
    return nullptr;
  }
  return event.release().ptr();
}

// fast_item builds the Event of one event object, or gives up.
PyObject* fast_item(PyObject* item, PyObject* cache) {
  if (!PyDict_CheckExact(item)) return nullptr;
  pyb::dict attrs;
  const Names& n = N();
  for (std::size_t i = 0; i < kCount; ++i) {
    // An object that also carries the attribute name would load from it.
    if (n.wire[i] != n.fields[i] && PyDict_GetItemWithError(item, n.fields[i])) return nullptr;
    PyObject* raw = PyDict_GetItemWithError(item, n.wire[i]);
    if (!raw) {
      PyErr_Clear();
      return nullptr;
    }
    pyb::object v = vp::own(fast_value(kFast[i], raw, cache));
    if (!v) return nullptr;
    if (PyDict_SetItem(attrs.ptr(), n.fields[i], v.ptr()) < 0) {
      PyErr_Clear();
      return nullptr;
    }
  }
  return new_event(attrs);
}

// loads_records: a load of |self| (an EventSchema) with |many| would be this
// module's own load of records of the module's own Event class.
bool loads_records(pyb::handle self, pyb::handle many) {
  if (vp::type_of(self).ptr() != schema_class) return false;
  pyb::object m = many.is_none() ? pyb::object(self.attr("many")) : vp::borrow(many.ptr());
  if (PyObject_IsTrue(m.ptr()) != 1 || !self.attr("only").is_none() ||
      PyObject_IsTrue(self.attr("exclude").ptr()) != 0 ||
      PyObject_IsTrue(self.attr("dump_only").ptr()) != 0)
    return false;
  pyb::object cls = pyb::handle(module_ref).attr("Event");
  return cls.ptr() == event_class &&
         vp::class_resolved(vp::borrow(schema_class), N().make_event) == native_make_event;
}

// fast_load is the list of Events for |data|, or nothing when the general
// load must run.
std::optional<pyb::list> fast_load(pyb::handle self, pyb::handle data, pyb::handle many) {
  if (!PyList_CheckExact(data.ptr()) || !loads_records(self, many)) return std::nullopt;
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

// ---- pages of events read straight from the JSON text ---------------------
//
// A page is {"events": [...], "hasMore": ..., ...}. Its event objects become
// Event records as fast_item would make them from the decoded objects; the
// page's other members are decoded as usual. Anything else (a member name
// with escapes or repeated, an unknown key, a value of another shape, text
// that is not UTF-8 or not JSON) makes the reader decline the whole page,
// which is then decoded and loaded the general way.

// PageParser reads one page; it is made for each page, so that the page's
// caches live no longer than the page.
class PageParser {
 public:
  struct Text {
    const char* p;
    const char* end;
  };
  static constexpr int kMaxNesting = 64;

  // read_page is the page, or null (with an error only for lack of memory).
  PyObject* read(const char* s, Py_ssize_t n) {
    Text t{s, s + n};
    pyb::object page = vp::own(read_page(t));
    if (!page && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError)) PyErr_Clear();
    return page.release().ptr();
  }
  // records is the page's list of Event records (held by the page).
  PyObject* records() const { return records_; }

 private:
  static void skip_ws(Text& t) {
    while (t.p < t.end && (*t.p == ' ' || *t.p == '\t' || *t.p == '\n' || *t.p == '\r')) ++t.p;
  }
  static bool take(Text& t, char c) {
    skip_ws(t);
    if (t.p >= t.end || *t.p != c) return false;
    ++t.p;
    return true;
  }

  // plain_string reads a string without escapes or control characters:
  // its bytes, and whether they are all ASCII. False for any other string.
  static bool plain_string(Text& t, std::string_view& out, bool& ascii) {
    skip_ws(t);
    if (t.p >= t.end || *t.p != '"') return false;
    const char* begin = ++t.p;
    unsigned char high = 0;
    while (t.p < t.end) {
      const auto c = static_cast<unsigned char>(*t.p);
      if (c == '"') break;
      if (c == '\\' || c < 0x20) return false;
      high |= c;
      ++t.p;
    }
    if (t.p >= t.end) return false;
    out = std::string_view(begin, static_cast<std::size_t>(t.p - begin));
    ascii = high < 0x80;
    ++t.p;
    return true;
  }

  // skip_value moves past one JSON value without judging it (the decoder
  // does that) and returns where it starts.
  static const char* skip_value(Text& t) {
    skip_ws(t);
    const char* begin = t.p;
    int depth = 0;
    while (t.p < t.end) {
      const char c = *t.p;
      if (c == '"') {
        for (++t.p; t.p < t.end && *t.p != '"'; ++t.p)
          if (*t.p == '\\') ++t.p;
        if (t.p >= t.end) return nullptr;
        ++t.p;
      } else if (c == '{' || c == '[') {
        // Deep nesting is left to the general decoding, which judges it
        // within the whole answer.
        if (++depth > kMaxNesting) return nullptr;
        ++t.p;
      } else if (c == '}' || c == ']') {
        if (depth == 0) break;
        --depth;
        ++t.p;
      } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
        break;
      } else {
        ++t.p;
      }
      if (depth == 0 && (c == '"' || c == '}' || c == ']')) break;
    }
    return depth == 0 && t.p > begin ? begin : nullptr;
  }

  // decoded is the value at |t| decoded as usual.
  static PyObject* decoded(Text& t) {
    const char* begin = skip_value(t);
    if (!begin) return nullptr;
    return vp::json::loads_utf8(begin, static_cast<std::size_t>(t.p - begin));
  }

  // literal_null moves past "null".
  static bool literal_null(Text& t) {
    skip_ws(t);
    if (t.end - t.p < 4 || std::memcmp(t.p, "null", 4) != 0) return false;
    t.p += 4;
    return true;
  }

  PyObject* text(std::string_view v, bool ascii) {
    // Values such as the action and the types recur; equal texts share one
    // str, as member names do.
    if (ascii && v.size() <= 32) {
      auto hit = strings_.find(v);
      if (hit != strings_.end()) return new_ref(hit->second.ptr());
      pyb::object s =
          vp::own(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
      if (!s) return nullptr;
      strings_.emplace(std::string(v), s);
      return s.release().ptr();
    }
    return PyUnicode_DecodeUTF8(v.data(), static_cast<Py_ssize_t>(v.size()), nullptr);
  }

  PyObject* uuid(std::string_view v) {
    auto hit = ids_.find(v);
    if (hit != ids_.end()) return new_ref(hit->second.ptr());
    pyb::object id = vp::own(fast_uuid(v.data(), static_cast<Py_ssize_t>(v.size())));
    if (!id) return nullptr;
    ids_.emplace(std::string(v), id);
    return id.release().ptr();
  }

  // integer reads an integer of at most 18 digits followed by a delimiter.
  static PyObject* integer(Text& t) {
    skip_ws(t);
    const char* p = t.p;
    const bool negative = p < t.end && *p == '-';
    if (negative) ++p;
    const char* first = p;
    long long v = 0;
    while (p < t.end && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
    const auto count = p - first;
    if (count == 0 || count > 18 || (count > 1 && *first == '0')) return nullptr;
    if (p < t.end && *p != ',' && *p != '}' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
      return nullptr;
    t.p = p;
    return PyLong_FromLongLong(negative ? -v : v);
  }

  PyObject* value(Fast kind, Text& t) {
    if (literal_null(t)) return takes_none(kind) ? new_ref(Py_None) : nullptr;
    std::string_view v;
    bool ascii = false;
    switch (kind) {
      case Fast::Str:
      case Fast::StrOrNone: {
        skip_ws(t);
        Text probe = t;
        if (plain_string(probe, v, ascii)) {
          t = probe;
          return text(v, ascii);
        }
        PyObject* r = decoded(t);
        if (r && !PyUnicode_CheckExact(r)) Py_CLEAR(r);
        return r;
      }
      case Fast::Int:
        return integer(t);
      case Fast::DictOrNone: {
        skip_ws(t);
        if (t.p >= t.end || *t.p != '{') return nullptr;
        return decoded(t);
      }
      case Fast::DateTime:
      case Fast::DateTimeOrNone:
        if (!plain_string(t, v, ascii) || !ascii) return nullptr;
        return fast_datetime(v.data(), static_cast<Py_ssize_t>(v.size()));
      case Fast::UuidOrNone:
        if (!plain_string(t, v, ascii) || !ascii) return nullptr;
        return uuid(v);
    }
    return nullptr;
  }

  // event reads one event object into a record.
  PyObject* event(Text& t) {
    if (!take(t, '{')) return nullptr;
    std::array<pyb::object, kCount> values;
    std::size_t seen = 0;
    if (!take(t, '}')) {
      for (;;) {
        std::string_view key;
        bool ascii = false;
        if (!plain_string(t, key, ascii) || !take(t, ':')) return nullptr;
        std::size_t i = 0;
        while (i < kCount && key != wire_text[i]) ++i;
        if (i == kCount || values[i]) return nullptr;  // unknown or repeated
        values[i] = vp::own(value(kFast[i], t));
        if (!values[i]) return nullptr;
        ++seen;
        if (take(t, '}')) break;
        if (!take(t, ',')) return nullptr;
      }
    }
    if (seen != kCount) return nullptr;
    pyb::object attrs = vp::own(PyDict_New());
    if (!attrs) return nullptr;
    for (std::size_t i = 0; i < kCount; ++i)
      if (PyDict_SetItem(attrs.ptr(), N().fields[i], values[i].ptr()) < 0) return nullptr;
    return new_event(attrs);
  }

  PyObject* events(Text& t) {
    if (!take(t, '[')) return nullptr;
    pyb::object list = vp::own(PyList_New(0));
    if (!list) return nullptr;
    if (take(t, ']')) return list.release().ptr();
    for (;;) {
      pyb::object record = vp::own(event(t));
      if (!record || PyList_Append(list.ptr(), record.ptr()) < 0) return nullptr;
      if (take(t, ']')) break;
      if (!take(t, ',')) return nullptr;
    }
    return list.release().ptr();
  }

  PyObject* read_page(Text& t) {
    if (!take(t, '{')) return nullptr;
    pyb::object page = vp::own(PyDict_New());
    if (!page || take(t, '}')) return nullptr;  // a page has events
    for (;;) {
      std::string_view key;
      bool ascii = false;
      if (!plain_string(t, key, ascii) || !ascii || !take(t, ':')) return nullptr;
      pyb::object name =
          vp::own(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      if (!name) return nullptr;
      const int repeated = PyDict_Contains(page.ptr(), name.ptr());
      if (repeated != 0) return nullptr;
      const bool is_events = key == "events";
      pyb::object v = vp::own(is_events ? events(t) : decoded(t));
      if (!v || PyDict_SetItem(page.ptr(), name.ptr(), v.ptr()) < 0) return nullptr;
      if (is_events) records_ = v.ptr();
      if (take(t, '}')) break;
      if (!take(t, ',')) return nullptr;
    }
    skip_ws(t);
    if (t.p != t.end || !records_) return nullptr;
    return page.release().ptr();
  }

  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view v) const { return std::hash<std::string_view>{}(v); }
  };
  using Cache = std::unordered_map<std::string, pyb::object, Hash, std::equal_to<>>;
  Cache strings_;
  Cache ids_;
  PyObject* records_ = nullptr;
};

// PageReader is the reader that velna.event offers: it remembers the last
// page it made on each thread (holding it, so that its identity stays its
// own) until the event retrieval module of that thread asks for it. A page
// left unasked is released by the thread's next page.
class PageReader final : public vp::EventPages {
 public:
  PyObject* read(PyObject* content) override {
    forget();
    PageParser parser;
    PyObject* page = parser.read(PyBytes_AS_STRING(content), PyBytes_GET_SIZE(content));
    if (!page) return nullptr;
    last_page_ = vp::borrow(page).release().ptr();
    records_ = parser.records();
    return page;
  }

  PyObject* records_of(PyObject* page) override {
    if (!page || page != last_page_) return nullptr;
    PyObject* records = records_;
    forget();  // |page| holds the records
    return records;
  }

  pyb::object load(pyb::handle schema, pyb::handle records) override {
    if (!native_load.method_of(schema) || !loads_records(schema, pyb::none())) return pyb::object();
    return vs::unmarshal_result()(records, pyb::dict());
  }

 private:
  static void forget() {
    records_ = nullptr;
    vp::own(last_page_);  // released here
    last_page_ = nullptr;
  }

  // Plain pointers: nothing may touch Python when a thread ends.
  static inline thread_local PyObject* last_page_ = nullptr;  // a reference of our own
  static inline thread_local PyObject* records_ = nullptr;    // held by the page
};

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
  native_make_event = vp::keep(ns["make_event"]);
  ns["load"] = vs::instance_method(pyb::cpp_function(
      &load, pyb::name("load"), "self"_a, "data"_a, "many"_a = pyb::none(),
      "partial"_a = pyb::none(), "Loads event objects; returns the pair (data, errors)."));
  native_load = {N().load, vp::keep(ns["load"])};
  return vs::make_class("velna.event", "EventSchema",
                        "Loads the key server's event objects into Event records.", std::move(spec),
                        ns);
}

}  // namespace

PYBIND11_MODULE(event, m) {
  vp::ModuleSetup setup;
  m.doc() = "The record of one key-server event and the schema that loads it.";
  pyb::object cls = make_event_class();
  event_class = vp::keep(cls);
  m.attr("Event") = cls;
  module_ref = vp::keep(m);
  m.attr("Schema") = vs::base_class();
  init_wire_text();
  pyb::object schema = make_schema_class();
  schema_class = vp::keep(schema);
  m.attr("EventSchema") = schema;
  // The reader of pages of events, for the event retrieval module; it lives
  // as long as the process.
  static PageReader* pages = new PageReader();
  m.attr("_pages") = vp::steal(
      PyCapsule_New(static_cast<vp::EventPages*>(pages), vp::EventPages::kCapsule, nullptr));
}
