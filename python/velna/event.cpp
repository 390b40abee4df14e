// velna.event: the record of one entry of the key server's event log
// (Event), and the schema that loads the server's event objects (EventSchema).
//
// Event is an ordinary Python class (instances keep their attributes in
// __dict__, in the order of kFields) whose methods are native. The schema
// builds records without going through __init__ when the module's Event is
// still this class.
#include <pybind11/pybind11.h>

#include <array>
#include <string>

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

// make_event is the post-load hook: the module's Event (looked up now) built
// with the loaded mapping as named arguments.
pyb::object make_event(pyb::object /*self*/, pyb::object data) {
  pyb::object cls = pyb::reinterpret_borrow<pyb::object>(module_ref).attr("Event");
  PyObject* r = PyObject_Call(cls.ptr(), pyb::tuple().ptr(), data.ptr());
  if (!r) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(r);
}

pyb::object make_schema_class() {
  vs::Spec spec;
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
  if (!event_class) event_class = velna::py::keep(cls);
  m.attr("Event") = cls;
  if (!module_ref) module_ref = pyb::handle(m).inc_ref().ptr();
  m.attr("Schema") = vs::base_class();
  m.attr("EventSchema") = make_schema_class();
}
