// Plain Python classes with C++ methods: a class made by type() behaves as a
// class written in Python does (an instance dictionary, attributes that come
// and go, subclassing, one-sided equality), while its methods and properties
// run C++.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>
#include <utility>

namespace velna::py {

// truthy is the object's truth value as `if o:` tests it.
inline bool truthy(pybind11::handle o) {
  const int t = PyObject_IsTrue(o.ptr());
  if (t < 0) throw pybind11::error_already_set();
  return t == 1;
}

// make_class is type(name, bases, namespace) with the given module and help
// text.
inline pybind11::object make_class(const char* module, const char* name, pybind11::tuple bases,
                                   const char* doc) {
  pybind11::dict ns;
  ns["__module__"] = module;
  ns["__qualname__"] = name;
  ns["__doc__"] = doc;
  return pybind11::reinterpret_borrow<pybind11::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      name, bases, ns);
}

// method installs |f| on |cls| so that it binds to instances as a Python
// function does: its first parameter is the instance ("self").
template <typename F, typename... Extra>
void method(pybind11::object& cls, const char* name, F&& f, const Extra&... extra) {
  // pybind11 gives functions named __init__ its own constructor protocol,
  // which plain classes do not follow; the C++ side goes by another name.
  const char* fn_name = std::string_view(name) == "__init__" ? "initialize" : name;
  pybind11::cpp_function fn;
  if constexpr (sizeof...(Extra) > 0)
    fn = pybind11::cpp_function(std::forward<F>(f), pybind11::name(fn_name), pybind11::arg("self"),
                                extra...);
  else
    fn = pybind11::cpp_function(std::forward<F>(f), pybind11::name(fn_name));
  PyObject* bound = PyInstanceMethod_New(fn.ptr());
  if (!bound) throw pybind11::error_already_set();
  cls.attr(name) = pybind11::reinterpret_steal<pybind11::object>(bound);
}

// property installs property(getter, setter) on |cls|; without a setter the
// attribute is read-only.
template <typename G>
void property(pybind11::object& cls, const char* name, G&& getter,
              pybind11::object setter = pybind11::none()) {
  pybind11::object builtins = pybind11::module_::import("builtins");
  cls.attr(name) =
      builtins.attr("property")(pybind11::cpp_function(std::forward<G>(getter)), setter);
}

// equality installs |eq| as __eq__, __ne__ as the negation of the
// instance's own __eq__ (so that a subclass's equality counts), and
// __hash__ = None, as Python does for a class that defines __eq__.
template <typename Eq>
void equality(pybind11::object& cls, Eq&& eq) {
  method(cls, "__eq__", std::forward<Eq>(eq), pybind11::arg("other"));
  method(
      cls, "__ne__",
      [](pybind11::object self, pybind11::object other) {
        return !truthy(self.attr("__eq__")(other));
      },
      pybind11::arg("other"));
  cls.attr("__hash__") = pybind11::none();
}

}  // namespace velna::py
