// The one place that names CPython APIs which are private or newer than the
// oldest interpreter we serve (3.7). Every other binding source calls these
// instead; tools/test.sh refuses a source outside this header that names one
// of them. Each entry has the fast form of newer interpreters and a form
// that builds and behaves the same on 3.7.
//
// Defining VELNA_PY_COMPAT_37 selects the 3.7 forms on any interpreter, so
// that they are compiled and tested here as well.
#pragma once

#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX >= 0x03090000 && !defined(VELNA_PY_COMPAT_37)
#define VELNA_PY_HAS_VECTORCALL 1
#else
#define VELNA_PY_HAS_VECTORCALL 0
#endif

namespace velna::py::compat {

// ---- calls -----------------------------------------------------------------

// The calling convention of vectorcall: |args| holds the positional
// arguments, then the values of the keywords named in |kwnames| (a tuple, or
// null); the count is nargs(nargsf). With kArgumentsOffset set in |nargsf|,
// args[-1] may be overwritten by the callee.
#if VELNA_PY_HAS_VECTORCALL
using VectorcallFunc = vectorcallfunc;
inline constexpr std::size_t kArgumentsOffset = PY_VECTORCALL_ARGUMENTS_OFFSET;
inline Py_ssize_t nargs(std::size_t nargsf) { return PyVectorcall_NARGS(nargsf); }
#else
using VectorcallFunc = PyObject* (*)(PyObject*, PyObject* const*, std::size_t, PyObject*);
inline constexpr std::size_t kArgumentsOffset = std::size_t(1) << (8 * sizeof(std::size_t) - 1);
inline Py_ssize_t nargs(std::size_t nargsf) {
  return static_cast<Py_ssize_t>(nargsf & ~kArgumentsOffset);
}

// call_with_tuple: |args| and |kwnames| as an argument tuple and a keyword
// dict, for interpreters without vectorcall.
inline PyObject* call_with_tuple(PyObject* fn, PyObject* const* args, std::size_t nargsf,
                                 PyObject* kwnames) {
  const Py_ssize_t n = nargs(nargsf);
  PyObject* tuple = PyTuple_New(n);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple, i, args[i]);
  }
  PyObject* kwargs = nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nkw > 0) {
    kwargs = PyDict_New();
    for (Py_ssize_t i = 0; kwargs && i < nkw; ++i)
      if (PyDict_SetItem(kwargs, PyTuple_GET_ITEM(kwnames, i), args[n + i]) != 0) Py_CLEAR(kwargs);
    if (!kwargs) {
      Py_DECREF(tuple);
      return nullptr;
    }
  }
  PyObject* result = PyObject_Call(fn, tuple, kwargs);
  Py_DECREF(tuple);
  Py_XDECREF(kwargs);
  return result;
}
#endif

// call is fn(*args, **dict(zip(kwnames, args[nargs:]))); a new reference,
// or null with an error set.
inline PyObject* call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
#if VELNA_PY_HAS_VECTORCALL
  return PyObject_Vectorcall(fn, args, nargsf, kwnames);
#else
  return call_with_tuple(fn, args, nargsf, kwnames);
#endif
}

inline PyObject* call_no_args(PyObject* fn) {
#if VELNA_PY_HAS_VECTORCALL
  return PyObject_CallNoArgs(fn);
#else
  return PyObject_CallObject(fn, nullptr);
#endif
}

inline PyObject* call_one_arg(PyObject* fn, PyObject* arg) {
#if VELNA_PY_HAS_VECTORCALL
  return PyObject_CallOneArg(fn, arg);
#else
  return PyObject_CallFunctionObjArgs(fn, arg, nullptr);
#endif
}

// call_method is args[0].<name>(*args[1:], ...), with kwnames as in call.
inline PyObject* call_method(PyObject* name, PyObject* const* args, std::size_t nargsf,
                             PyObject* kwnames) {
#if VELNA_PY_HAS_VECTORCALL
  return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#else
  PyObject* method = PyObject_GetAttr(args[0], name);
  if (!method) return nullptr;
  PyObject* result = call_with_tuple(method, args + 1, nargs(nargsf) - 1, kwnames);
  Py_DECREF(method);
  return result;
#endif
}

// ---- callable types --------------------------------------------------------

// Type flags of a callable type whose instances store their own vectorcall
// function at the offset named by __vectorcalloffset__, bind to instances
// like functions, and are not made by calling the type.
#if VELNA_PY_HAS_VECTORCALL
inline constexpr unsigned long kCallableTypeFlags =
    Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
#else
inline constexpr unsigned long kCallableTypeFlags = 0;
#endif

// make_callable_type is PyType_FromSpec(spec) for such a type. Its
// Py_tp_members may name __dictoffset__ and __weaklistoffset__, which give
// the offsets of the instance dict and weak reference list.
inline PyObject* make_callable_type(PyType_Spec* spec) {
#if PY_VERSION_HEX >= 0x030A0000 && !defined(VELNA_PY_COMPAT_37)
  spec->flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  return PyType_FromSpec(spec);
#else
  PyObject* type = PyType_FromSpec(spec);
  if (!type) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  // No __new__: the type cannot be called to make instances.
  t->tp_new = nullptr;
  // Before 3.9 the special members are plain attributes; the offsets they
  // name are set here.
  for (PyType_Slot* slot = spec->slots; slot->slot; ++slot) {
    if (slot->slot != Py_tp_members) continue;
    for (auto* m = static_cast<PyMemberDef*>(slot->pfunc); m->name; ++m) {
      if (std::strcmp(m->name, "__dictoffset__") == 0) t->tp_dictoffset = m->offset;
      if (std::strcmp(m->name, "__weaklistoffset__") == 0) t->tp_weaklistoffset = m->offset;
    }
  }
  return type;
#endif
}

#if !VELNA_PY_HAS_VECTORCALL
// tuple_call calls the vectorcall function stored at |Offset| of |self| with
// a tuple and a dict of arguments.
template <std::size_t Offset>
PyObject* tuple_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  VectorcallFunc fn = *reinterpret_cast<VectorcallFunc*>(reinterpret_cast<char*>(self) + Offset);
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  PyObject** stack = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * (n + nkw + 1)));
  if (!stack) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < n; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
  PyObject* kwnames = nullptr;
  if (nkw > 0) {
    kwnames = PyTuple_New(nkw);
    if (!kwnames) {
      PyMem_Free(stack);
      return nullptr;
    }
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames, i, key);
      stack[n + i] = value;
      ++i;
    }
  }
  PyObject* result = fn(self, stack, static_cast<std::size_t>(n), kwnames);
  Py_XDECREF(kwnames);
  PyMem_Free(stack);
  return result;
}
#endif

// call_slot is the tp_call of a callable type whose instances hold their
// vectorcall function at |Offset|.
template <std::size_t Offset>
void* call_slot() {
#if VELNA_PY_HAS_VECTORCALL
  return reinterpret_cast<void*>(PyVectorcall_Call);
#else
  return reinterpret_cast<void*>(tuple_call<Offset>);
#endif
}

// ---- types -----------------------------------------------------------------

// type_lookup finds |name| along the method resolution order of |type|
// without calling descriptors, as attribute lookup does first; a borrowed
// reference, or null (no error set) when no class defines it.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

// is_tracked: the cyclic collector tracks |o|. (The older form exists only
// in the headers of the runtimes before 3.9.)
inline bool is_tracked(PyObject* o) {
#if PY_VERSION_HEX >= 0x03090000
  return PyObject_GC_IsTracked(o) == 1;
#else
  return PyObject_IS_GC(o) && _PyObject_GC_IS_TRACKED(o);
#endif
}

// ---- integers --------------------------------------------------------------

// unsigned_from_bytes is the non-negative integer whose |n| bytes at |p| are
// given big-endian (or little-endian).
inline PyObject* unsigned_from_bytes(const std::uint8_t* p, std::size_t n, bool little_endian) {
#if PY_VERSION_HEX >= 0x030D0000 && !defined(VELNA_PY_COMPAT_37)
  return PyLong_FromUnsignedNativeBytes(
      p, n, (little_endian ? Py_ASNATIVEBYTES_LITTLE_ENDIAN : Py_ASNATIVEBYTES_BIG_ENDIAN));
#elif !defined(VELNA_PY_COMPAT_37)
  return _PyLong_FromByteArray(p, n, little_endian ? 1 : 0, 0);
#else
  PyObject* bytes =
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n));
  if (!bytes) return nullptr;
  PyObject* result = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes",
                                         "Os", bytes, little_endian ? "little" : "big");
  Py_DECREF(bytes);
  return result;
#endif
}

// ---- bytes -----------------------------------------------------------------

// resize_bytes makes the bytes object |*bytes|, which nobody else holds yet,
// |n| bytes long in place, keeping its first bytes (the allocator may move
// it: *bytes is then the new object). 0 on success; -1 with MemoryError set,
// and *bytes gone, when there is no memory.
inline int resize_bytes(PyObject** bytes, Py_ssize_t n) { return _PyBytes_Resize(bytes, n); }

// ---- errors ----------------------------------------------------------------

// take_error removes the error being raised, if any, and returns it as one
// normalised exception object with its traceback attached (a new reference),
// or null when there is none.
inline PyObject* take_error() {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(VELNA_PY_COMPAT_37)
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// raise_taken raises |exc| (as take_error returned it) again; steals it.
// Null leaves no error set.
inline void raise_taken(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000 && !defined(VELNA_PY_COMPAT_37)
  PyErr_SetRaisedException(exc);
#else
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// PendingError sets the error being raised aside for its lifetime and puts
// it back when it ends, so that clean-up code may call into Python without
// losing or replacing it.
class PendingError {
 public:
  PendingError() : exc_(take_error()) {}
  ~PendingError() { raise_taken(exc_); }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

 private:
  PyObject* exc_;
};

// handled_exception is the exception being handled (what sys.exc_info()
// gives): a new reference, or null. set_handled_exception replaces it
// (null: none) without stealing.
inline PyObject* handled_exception() {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(VELNA_PY_COMPAT_37)
  return PyErr_GetHandledException();
#else
  PyObject *type, *value, *tb;
  PyErr_GetExcInfo(&type, &value, &tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  if (value == Py_None) Py_CLEAR(value);
  return value;
#endif
}

inline void set_handled_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030B0000 && !defined(VELNA_PY_COMPAT_37)
  PyErr_SetHandledException(exc);
#else
  if (!exc || exc == Py_None) {
    PyErr_SetExcInfo(nullptr, nullptr, nullptr);
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  Py_INCREF(exc);
  PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
#endif
}

// ---- the interpreter -------------------------------------------------------

// finalizing: the interpreter is shutting down (or not running at all), so
// no Python code may run any more.
inline bool finalizing() {
  if (!Py_IsInitialized()) return true;
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// ---- the cyclic collector ----------------------------------------------------

// CollectionPause stops automatic runs of the cyclic collector for its
// lifetime and starts them again after, when they were on: for code that
// makes many objects that all stay referenced, which a collection meanwhile
// would only walk again. Explicit gc.collect() calls still run. It never
// fails: when the state cannot be read or set, the collector stays as it
// was.
class CollectionPause {
 public:
  CollectionPause() : was_on_(set(false)) {}
  ~CollectionPause() {
    if (was_on_) {
      PendingError keep;
      set(true);
    }
  }
  CollectionPause(const CollectionPause&) = delete;
  CollectionPause& operator=(const CollectionPause&) = delete;

 private:
  // set switches automatic collection on or off; true when it was on.
  static bool set(bool on) {
#if PY_VERSION_HEX >= 0x030A0000 && !defined(VELNA_PY_COMPAT_37)
    return (on ? PyGC_Enable() : PyGC_Disable()) == 1;
#else
    PyObject* gc = PyImport_ImportModule("gc");
    PyObject* was = gc ? PyObject_CallMethod(gc, "isenabled", nullptr) : nullptr;
    PyObject* done = was ? PyObject_CallMethod(gc, on ? "enable" : "disable", nullptr) : nullptr;
    const bool was_on = done && was == Py_True;
    Py_XDECREF(done);
    Py_XDECREF(was);
    Py_XDECREF(gc);
    if (!done) PyErr_Clear();
    return was_on;
#endif
  }

  bool was_on_;
};

}  // namespace velna::py::compat
