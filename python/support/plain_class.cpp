#include "plain_class.h"

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
