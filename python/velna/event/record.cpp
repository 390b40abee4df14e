// velna.event's Event: an ordinary Python class (instances keep their
// attributes in __dict__, in the order of kFields) whose methods are native.
#include <pybind11/pybind11.h>

#include <array>
#include <string>

#include "event.h"
#include "plain_class.h"
#include "py_compat.h"
#include "velna_py.h"

namespace velna::event {
namespace {

namespace vp = velna::py;

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

// __setattr__ sets the attribute as object does, and has the cyclic
// collector track the record again (new_event may have left it untracked).
PyObject* event_setattr(PyObject* self, PyObject* args) {
  PyObject *name, *value;
  if (!PyArg_UnpackTuple(args, "__setattr__", 2, 2, &name, &value)) return nullptr;
  if (!vp::compat::is_tracked(self)) PyObject_GC_Track(self);
  if (PyObject_GenericSetAttr(self, name, value) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(event_init)),
     METH_VARARGS | METH_KEYWORDS, "Builds a record from its eleven attributes."},
    {"__repr__", event_repr, METH_NOARGS, nullptr},
    {"__setattr__", event_setattr, METH_VARARGS, "Implement setattr(self, name, value)."},
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

}  // namespace

Module kept;

const Names& N() { return vp::table<Names>(); }

std::array<const char*, kCount> wire_keys() {
  std::array<const char*, kCount> keys = kFields;
  for (const WireField& w : kWire)
    if (*w.load_from) keys[w.attribute] = w.load_from;
  return keys;
}

std::array<const char*, kCount> declared_names() {
  std::array<const char*, kCount> names{};
  for (std::size_t i = 0; i < kCount; ++i) names[i] = kWire[i].name;
  return names;
}

PyObject* new_event(PyObject* const* values) {
  // The record is made by object.__new__ and its attributes are
  // set as object.__setattr__ sets them, in field order: the runtime keeps
  // them in values of the keys all records of the class share (inline in
  // the record from 3.11 on), and makes no dict of the record's own until
  // one is asked for.
  static PyObject* no_args = vp::keep(pyb::tuple());
  auto* cls = reinterpret_cast<PyTypeObject*>(kept.event_class);
  pyb::object event = vp::own(PyBaseObject_Type.tp_new(cls, no_args, nullptr));
  bool holds_tracked = false;
  const auto& fields = N().fields;
  for (std::size_t i = 0; event && i < kCount; ++i) {
    if (PyObject_GenericSetAttr(event.ptr(), fields[i], values[i]) < 0) event = pyb::object();
    holds_tracked =
        holds_tracked || (PyType_IS_GC(Py_TYPE(values[i])) && vp::compat::is_tracked(values[i]));
  }
  if (!event) {
    PyErr_Clear();
    return nullptr;
  }
  // A record whose attributes hold nothing the cyclic collector tracks
  // (text, numbers, times, identifiers, mappings of plain values) is part of
  // no cycle, and thousands are made at once: the collector need not visit
  // it. Setting an attribute tracks the record again (__setattr__).
  if (!holds_tracked) PyObject_GC_UnTrack(event.ptr());
  return event.release().ptr();
}

void bind_Event(pyb::module_& module) {
  pyb::object cls = make_event_class();
  kept.event_class = vp::keep(cls);
  module.attr("Event") = cls;
}

}  // namespace velna::event
