// Plain Python classes with C++ methods: a class made by type() behaves as a
// class written in Python does (an instance dictionary, attributes that come
// and go, subclassing, one-sided equality), while its methods and properties
// run C++. method and property return what they installed as a Member, so
// that a fast path may check whether a caller has replaced it.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include "fast_path.h"
#include "velna_py.h"

namespace velna::py {

// make_class is type(name, bases, ns) with the given module and help text;
// |ns| may already hold members.
VELNA_PY_API pyb::object make_class(const char* module, const char* name, pyb::tuple bases,
                                    const char* doc, pyb::dict ns = pyb::dict());

// instance_method wraps a C++ function so that, as a class member, it binds
// to instances like a Python function (the instance is its first argument).
VELNA_PY_API pyb::object instance_method(const pyb::cpp_function& fn);

namespace detail {

// arity is the number of parameters of a function, function pointer or
// callable object.
template <typename F, typename = void>
struct arity : arity<decltype(&std::remove_reference_t<F>::operator())> {};
template <typename R, typename... A>
struct arity<R (*)(A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <typename R, typename... A>
struct arity<R(A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <typename R, typename C, typename... A>
struct arity<R (C::*)(A...)> : std::integral_constant<std::size_t, sizeof...(A)> {};
template <typename R, typename C, typename... A>
struct arity<R (C::*)(A...) const> : std::integral_constant<std::size_t, sizeof...(A)> {};

}  // namespace detail

// method installs |f| on |cls| so that it binds to instances as a Python
// function does: its first parameter is the instance, named "self" when the
// others are named in |extra| (or there are no others).
template <typename F, typename... Extra>
Member method(pyb::object& cls, const char* name, F&& f, const Extra&... extra) {
  // pybind11 gives functions named __init__ its own constructor protocol,
  // which plain classes do not follow; the C++ side goes by another name.
  const char* fn_name = std::string_view(name) == "__init__" ? "initialize" : name;
  pyb::cpp_function fn;
  if constexpr (sizeof...(Extra) > 0 || detail::arity<std::decay_t<F>>::value == 1)
    fn = pyb::cpp_function(std::forward<F>(f), pyb::name(fn_name), pyb::arg("self"), extra...);
  else
    fn = pyb::cpp_function(std::forward<F>(f), pyb::name(fn_name));
  pyb::object bound = instance_method(fn);
  cls.attr(name) = bound;
  return {intern(name), bound.ptr()};  // the class dict holds it for good
}

// property installs property(getter, setter, None, doc) on |cls|; without a
// setter the attribute is read-only, without a doc it is the getter's.
template <typename G>
Member property(pyb::object& cls, const char* name, G&& getter, pyb::object setter = pyb::none(),
                const char* doc = nullptr) {
  static PyObject* property_type = reinterpret_cast<PyObject*>(&PyProperty_Type);
  pyb::object prop =
      borrow(property_type)(pyb::cpp_function(std::forward<G>(getter)), setter, pyb::none(),
                            doc ? pyb::object(pyb::str(doc)) : pyb::none());
  cls.attr(name) = prop;
  return {intern(name), prop.ptr()};
}

// property with a help text and no setter.
template <typename G>
Member property(pyb::object& cls, const char* name, G&& getter, const char* doc) {
  return property(cls, name, std::forward<G>(getter), pyb::none(), doc);
}

// equality installs |eq| as __eq__, __ne__ as the negation of the
// instance's own __eq__ (so that a subclass's equality counts), and
// __hash__ = None, as Python does for a class that defines __eq__.
VELNA_PY_API void install_ne(pyb::object& cls);
template <typename Eq>
void equality(pyb::object& cls, Eq&& eq) {
  method(cls, "__eq__", std::forward<Eq>(eq), pyb::arg("other"));
  install_ne(cls);
}

// is_instance is isinstance(o, cls); equal is a == b as `==` tests it.
VELNA_PY_API bool is_instance(pyb::handle o, pyb::handle cls);
VELNA_PY_API bool equal(pyb::handle a, pyb::handle b);

// record_class makes the class of parsed records, a dict whose entries are
// also its attributes (an absent one raises AttributeError with its name);
// with |text_form|, repr gives Name(key=repr(value), ...) in entry order,
// else the dict's own. The caller keeps the class.
VELNA_PY_API pyb::object record_class(const char* module, const char* name, bool text_form);

namespace detail {
inline void record_entry(pyb::handle rec, PyObject* name, pyb::handle v) { dict_set(rec, name, v); }
inline void record_entry(pyb::handle rec, PyObject* name, std::uint64_t v) {
  dict_set(rec, name, steal(PyLong_FromUnsignedLongLong(v)));
}
}  // namespace detail

// new_record is a record of class |cls| holding |values| under |names| in
// their order; an unsigned integer becomes an int.
template <std::size_t N, typename... V>
pyb::object new_record(pyb::handle cls, const std::array<PyObject*, N>& names, const V&... values) {
  static_assert(sizeof...(V) == N, "one value for each field");
  pyb::object rec = call0(cls);
  std::size_t i = 0;
  (detail::record_entry(rec, names[i++], values), ...);
  return rec;
}

// object_type, type_type and dict_type are the built-in classes, for bases.
inline pyb::object object_type() { return borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type)); }
inline pyb::object dict_type() { return borrow(reinterpret_cast<PyObject*>(&PyDict_Type)); }

}  // namespace velna::py
