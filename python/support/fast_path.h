// The fast paths of the bindings, for modules whose benchmarks ask for them:
// interned attribute names, calls through the raw C API with pybind11
// objects as the one owner of references, late-bound names ("look the name
// up at each call; while it still holds our own function, run the core
// directly"), members a caller may replace, and GIL release around long work.
// A new module starts as plain pybind11 and takes these only where its
// benchmark says so.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "py_compat.h"
#include "velna_py.h"

namespace velna::py {

// ---- interned names ------------------------------------------------------

// intern is the interned str |s|, made once and kept for the process.
VELNA_PY_API PyObject* intern(const char* s);

// intern_all is intern of each of |texts|, in order: for names walked in
// order (the fields of a record, say).
template <std::size_t Count>
std::array<PyObject*, Count> intern_all(const std::array<const char*, Count>& texts) {
  std::array<PyObject*, Count> names{};
  for (std::size_t i = 0; i < Count; ++i) names[i] = intern(texts[i]);
  return names;
}

// A module's interned names are the fields of one table, Names, reached
// through N(), which makes them on first use: a name spelled as its field
// through VELNA_PY_NAME_FIELD (a long table may list them in an X-macro),
// any other text through intern, a list walked in order through
// intern_all:
//   #define NAMES(X) X(data) X(encrypt)
//   struct Names {
//     NAMES(VELNA_PY_NAME_FIELD)
//     PyObject* const int_ = intern("int");
//     const std::array<PyObject*, 2> fields = intern_all(kFields);
//   };
//   const Names& N() { return table<Names>(); }
#define VELNA_PY_NAME_FIELD(n) PyObject* const n = ::velna::py::intern(#n);

// table is the one instance of |Table| (a module's Names), made on first use
// and kept for the process.
template <typename Table>
const Table& table() {
  static const Table t;
  return t;
}

// ---- calls and attributes ------------------------------------------------

// Plain reads and calls that throw error_already_set on failure.
inline pyb::object get(pyb::handle o, PyObject* name) {
  return steal(PyObject_GetAttr(o.ptr(), name));
}
inline void set(pyb::handle o, PyObject* name, pyb::handle value) {
  if (PyObject_SetAttr(o.ptr(), name, value.ptr()) != 0) throw pyb::error_already_set();
}
inline pyb::object call0(pyb::handle fn) { return steal(compat::call_no_args(fn.ptr())); }
inline pyb::object call1(pyb::handle fn, pyb::handle arg) {
  return steal(compat::call_one_arg(fn.ptr(), arg.ptr()));
}
// call_kw is fn(**{kwnames[i]: values[i]}) for a tuple of interned names.
inline pyb::object call_kw(pyb::handle fn, PyObject* kwnames, PyObject* const* values) {
  return steal(compat::call(fn.ptr(), values, 0, kwnames));
}
inline bool truthy(pyb::handle o) {
  int t = PyObject_IsTrue(o.ptr());
  if (t < 0) throw pyb::error_already_set();
  return t == 1;
}

// attr_or_none looks |name| up on |o|; an AttributeError becomes None,
// other errors pass.
VELNA_PY_API pyb::object attr_or_none(pyb::handle o, PyObject* name);

// The instance dict of |o| and its entries (dict_get: a null object when
// the entry is absent).
inline pyb::object instance_dict(pyb::handle o) {
  return steal(PyObject_GenericGetDict(o.ptr(), nullptr));
}
VELNA_PY_API pyb::object dict_get(pyb::handle d, PyObject* name);
VELNA_PY_API void dict_set(pyb::handle d, PyObject* name, pyb::handle value);
VELNA_PY_API void dict_discard(pyb::handle d, PyObject* name);

// type_of is the class of |o|.
inline pyb::handle type_of(pyb::handle o) { return reinterpret_cast<PyObject*>(Py_TYPE(o.ptr())); }

// resolved is what the class of |o| (or the class |cls|) resolves |name| to
// before instances are consulted; null when no class defines it.
inline PyObject* resolved(pyb::handle o, PyObject* name) {
  return compat::type_lookup(Py_TYPE(o.ptr()), name);
}
inline PyObject* class_resolved(pyb::handle cls, PyObject* name) {
  if (!PyType_Check(cls.ptr())) return nullptr;
  return compat::type_lookup(reinterpret_cast<PyTypeObject*>(cls.ptr()), name);
}

// lookup_special finds a method on the class of |obj|, as the with statement
// and the operators do, bound to |obj|; a null object without an error
// when the class lacks it.
VELNA_PY_API pyb::object lookup_special(pyb::handle obj, PyObject* name);

// ---- our own functions, looked up late -----------------------------------

// Own is one of our own functions as registered under |key| (see
// register_native): remembered once seen, so that the check costs one
// comparison.
class Own {
 public:
  constexpr explicit Own(const char* key) : key_(key) {}
  bool is(pyb::handle candidate) {
    if (fn_) return candidate.ptr() == fn_;
    if (!is_native(key_, candidate)) return false;
    fn_ = candidate.ptr();
    return true;
  }

 private:
  const char* key_;
  PyObject* fn_ = nullptr;
};

// OwnPartial is one of our own functools.partial objects, registered under
// |key|: it counts as ours while it is that object and still applies the
// function to no positional arguments and the keywords it had when made()
// saw it (a partial's keywords dict can be changed in place, and
// __setstate__ replaces all of it). Call made() at module load.
class OwnPartial {
 public:
  constexpr explicit OwnPartial(const char* key) : own_(key) {}
  void made(pyb::handle partial) {
    func_ = keep(partial.attr("func"));
    keywords_ = keep_new(PyDict_Copy(pyb::object(partial.attr("keywords")).ptr()));  // a copy
  }
  bool is(pyb::handle candidate) {
    if (!func_ || !own_.is(candidate)) return false;
    pyb::object func = candidate.attr("func");
    pyb::object args = candidate.attr("args");
    pyb::object keywords = candidate.attr("keywords");
    return func.ptr() == func_ && PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) == 0 &&
           keywords.equal(pyb::handle(keywords_));
  }

 private:
  Own own_;
  PyObject* func_ = nullptr;
  PyObject* keywords_ = nullptr;
};

// late_bound reads |name| of |owner| now; while it still holds |own|, runs
// |core|() (the core directly), otherwise |python|(fn) with what it holds.
template <typename Core, typename Python>
pyb::object late_bound(pyb::handle owner, PyObject* name, Own& own, Core&& core, Python&& python) {
  pyb::object fn = get(owner, name);
  if (own.is(fn)) return core();
  return python(fn);
}

// ---- members a caller may replace ----------------------------------------

// Member is a method or property installed on one of our classes under
// |name|. While an object's class still resolves the name to it (and, for a
// method, the instance does not shadow it), C++ may do the work directly;
// otherwise the call goes through Python to whatever replaced it.
struct Member {
  PyObject* name = nullptr;
  PyObject* installed = nullptr;

  // property_of: a property wins over the instance dict, so the class alone
  // decides.
  bool property_of(pyb::handle o) const { return installed && resolved(o, name) == installed; }
  VELNA_PY_API bool method_of(pyb::handle o) const;
  bool on_class(pyb::handle cls) const {
    return installed && class_resolved(cls, name) == installed;
  }
};

// call_method is self.<member>(args...): |native|(self, args...) while the
// method is ours, else a call of what the member is now.
template <typename Native, typename... Args>
pyb::object call_method(const Member& m, pyb::handle self, Native&& native, Args&&... args) {
  if (m.method_of(self)) {
    if constexpr (std::is_void_v<std::invoke_result_t<Native, pyb::handle, Args...>>) {
      native(self, std::forward<Args>(args)...);
      return pyb::none();
    } else {
      return pyb::object(native(self, std::forward<Args>(args)...));
    }
  }
  pyb::object fn = get(self, m.name);
  if constexpr (sizeof...(Args) == 0)
    return call0(fn);
  else if constexpr (sizeof...(Args) == 1)
    return call1(fn, args...);
  else
    return fn(std::forward<Args>(args)...);
}

// constructs_directly: calling |cls| runs |init| (our __init__) on a plain
// new object, so the object may be made and initialised from C++ with
// allocate and the C++ behind |init|.
VELNA_PY_API bool constructs_directly(pyb::handle cls, PyObject* init);
VELNA_PY_API pyb::object allocate(pyb::handle cls);

}  // namespace velna::py
