#include "plain_class.h"

#include <string>

namespace velna::py {

pyb::object make_class(const char* module, const char* name, pyb::tuple bases, const char* doc,
                       pyb::dict ns) {
  ns["__module__"] = module;
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  return borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
}

pyb::object instance_method(const pyb::cpp_function& fn) {
  return steal(PyInstanceMethod_New(fn.ptr()));
}

void install_ne(pyb::object& cls) {
  pyb::options options;  // no generated signature line as the help text
  options.disable_function_signatures();
  method(
      cls, "__ne__",
      [](pyb::object self, pyb::object other) { return !truthy(self.attr("__eq__")(other)); },
      pyb::arg("other"));
  cls.attr("__hash__") = pyb::none();
}

pyb::object record_class(const char* module, const char* name, bool text_form) {
  using namespace pyb::literals;
  pyb::object record =
      make_class(module, name, pyb::make_tuple(dict_type()),
                 "A parsed record: its fields by name, as entries and as attributes.");
  method(
      record, "__getattr__",
      [](pyb::object self, pyb::str key) -> pyb::object {
        PyObject* v = PyDict_GetItemWithError(self.ptr(), key.ptr());
        if (v) return borrow(v);
        if (PyErr_Occurred()) throw pyb::error_already_set();
        raise_error(PyExc_AttributeError, key.cast<std::string>());
      },
      "name"_a);
  method(
      record, "__setattr__",
      [](pyb::object self, pyb::object key, pyb::object value) {
        if (PyDict_SetItem(self.ptr(), key.ptr(), value.ptr()) != 0) throw pyb::error_already_set();
      },
      "name"_a, "value"_a);
  if (!text_form) return record;
  std::string opening = std::string(name) + "(";
  method(record, "__repr__", [opening](pyb::object self) {
    pyb::str out(opening);
    bool first = true;
    for (auto item : pyb::reinterpret_borrow<pyb::dict>(self)) {
      if (!first) out = out + pyb::str(", ");
      out = out + pyb::str(item.first) + pyb::str("=") + pyb::repr(item.second);
      first = false;
    }
    return out + pyb::str(")");
  });
  return record;
}

bool is_instance(pyb::handle o, pyb::handle cls) {
  const int r = PyObject_IsInstance(o.ptr(), cls.ptr());
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

bool equal(pyb::handle a, pyb::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

}  // namespace velna::py
