// velna.decorators: call tracing (logged) and the login guard
// (login_required).
//
// The wrappers sit on every account operation, so they are a small native
// callable type rather than Python closures: with tracing off a logged call
// costs one level check and a vectorcall of the wrapped function. A wrapper
// takes over the identity of what it wraps through functools.update_wrapper
// (so it has a __dict__), and binds like a function when placed on a class.
#include <pybind11/pybind11.h>

#include <structmember.h>

#include <cstddef>

#include "fast_path.h"
#include "provider_scope.h"
#include "py_compat.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
namespace compat = velna::py::compat;
using namespace pyb::literals;
using vp::own;

struct Wrapper {
  PyObject_HEAD compat::VectorcallFunc vectorcall;
  PyObject* f;      // the wrapped callable
  PyObject* extra;  // logged: the logger; login_required: the provider or None
  PyObject* dict;
  PyObject* weakrefs;
};

PyTypeObject* wrapper_type = nullptr;  // kept for the life of the process

// Interned names and constants, made at module load and kept.
#define VELNA_DECORATOR_NAMES(X) X(__name__) X(__qualname__) X(debug) X(session) X(user) X(get)
struct Names {
  VELNA_DECORATOR_NAMES(VELNA_PY_NAME_FIELD)
  PyObject* const comma = vp::intern(",");
  PyObject* const entry_format = vp::intern("%s(%s, %s)");
  PyObject* const exit_format = vp::intern("%s(...) --> %s");
  PyObject* const providers = vp::intern("velna.providers");
};
const Names& N() { return vp::table<Names>(); }

Wrapper* as_wrapper(PyObject* self) { return reinterpret_cast<Wrapper*>(self); }

// The calls below return null with a Python error set, as the C API does;
// every reference they hold is a pybind11 object, dropped on every way out.

// ---- logged ---------------------------------------------------------------

// entry_trace writes "%s(%s, %s)" with the name of f, the text forms of the
// positional arguments joined by "," and a new mapping of the keywords, read
// in this order.
bool entry_trace(Wrapper* w, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!vp::resolve_lazy(&w->extra)) return false;  // a logger bound on first use
  pyb::object name = own(PyObject_GetAttr(w->f, N().__name__));
  if (!name) return false;
  pyb::object texts = own(PyTuple_New(nargs));
  if (!texts) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* t = PyObject_Str(args[i]);
    if (!t) return false;
    PyTuple_SET_ITEM(texts.ptr(), i, t);
  }
  pyb::object joined = own(PyUnicode_Join(N().comma, texts.ptr()));
  if (!joined) return false;
  pyb::object kwargs = own(PyDict_New());
  if (!kwargs) return false;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
      return false;

  PyObject* call[] = {w->extra, N().entry_format, name.ptr(), joined.ptr(), kwargs.ptr()};
  return bool(own(compat::call_method(N().debug, call, 5, nullptr)));
}

// exit_trace writes "%s(...) --> %s" with the name of f and its result.
bool exit_trace(Wrapper* w, PyObject* result) {
  if (!vp::resolve_lazy(&w->extra)) return false;
  pyb::object name = own(PyObject_GetAttr(w->f, N().__name__));
  if (!name) return false;
  PyObject* call[] = {w->extra, N().exit_format, name.ptr(), result};
  return bool(own(compat::call_method(N().debug, call, 4, nullptr)));
}

PyObject* logged_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Wrapper* w = as_wrapper(self);
  // Decided once, before f runs: a level that f itself changes counts from
  // the next call.
  bool on;
  try {
    on = vp::tracing();
  } catch (...) {
    vp::translate_current();
    return nullptr;
  }
  if (!on) return compat::call(w->f, args, nargsf, kwnames);

  if (!entry_trace(w, args, compat::nargs(nargsf), kwnames)) return nullptr;
  pyb::object result = own(compat::call(w->f, args, nargsf, kwnames));
  if (result && !exit_trace(w, result.ptr())) return nullptr;
  return result.release().ptr();
}

// ---- login_required -------------------------------------------------------

// registry_get is get of the package velna.providers, imported now (the
// package is loaded on first use; later calls find it in sys.modules).
pyb::object registry_get() {
  pyb::object pkg = own(PyImport_GetModule(N().providers));
  if (!pkg) {
    if (PyErr_Occurred()) throw pyb::error_already_set();
    pkg = vp::steal(PyImport_Import(N().providers));
  }
  pyb::object get = own(PyObject_GetAttr(pkg.ptr(), N().get));
  if (!get && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    vp::raise_error(PyExc_ImportError, "cannot import name 'get' from 'velna.providers'");
  }
  if (!get) throw pyb::error_already_set();
  return get;
}

// session_of reads session from the provider of the wrapper, or from the
// active one inside one registry scope. When that scope handles a failure
// of the read, no session was read: nobody is known to be logged in.
pyb::object session_of(Wrapper* w) {
  if (w->extra != Py_None) return vp::get(w->extra, N().session);
  pyb::object handled;
  auto session = vp::run_scoped(
      registry_get(), [](pyb::handle provider) { return vp::get(provider, N().session); },
      &handled);
  if (!session) vp::raise_with_context(PyExc_RuntimeError, "Must login!", handled);
  return *session;
}

PyObject* login_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Wrapper* w = as_wrapper(self);
  try {
    pyb::object user = vp::get(session_of(w), N().user);
    if (user.is_none()) vp::raise_error(PyExc_RuntimeError, "Must login!");
  } catch (...) {
    vp::translate_current();
    return nullptr;
  }
  return compat::call(w->f, args, nargsf, kwnames);
}

// ---- the wrapper type -----------------------------------------------------

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
  Wrapper* w = as_wrapper(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(w->f);
  Py_VISIT(w->extra);
  Py_VISIT(w->dict);
  return 0;
}

int wrapper_clear(PyObject* self) {
  Wrapper* w = as_wrapper(self);
  Py_CLEAR(w->f);
  Py_CLEAR(w->extra);
  Py_CLEAR(w->dict);
  return 0;
}

void wrapper_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (as_wrapper(self)->weakrefs) PyObject_ClearWeakRefs(self);
  wrapper_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// A wrapper read through an instance binds to it, as a function does.
PyObject* wrapper_get(PyObject* self, PyObject* obj, PyObject*) {
  if (!obj || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* wrapper_repr(PyObject* self) {
  Wrapper* w = as_wrapper(self);
  const char* kind = w->vectorcall == logged_call ? "logged" : "login_required";
  if (!w->f) return PyUnicode_FromFormat("<%s wrapper>", kind);
  return PyUnicode_FromFormat("<%s wrapper of %R>", kind, w->f);
}

// Pickled and copied by qualified name, as a function is: copy returns the
// wrapper itself.
PyObject* wrapper_reduce(PyObject* self, PyObject*) {
  return PyObject_GetAttr(self, N().__qualname__);
}

PyGetSetDef wrapper_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Wrapper, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Wrapper, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Wrapper, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef wrapper_methods[] = {
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* make_wrapper_type() {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A call wrapper of velna.decorators.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
      {Py_tp_call, compat::call_slot<offsetof(Wrapper, vectorcall)>()},
      {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_get)},
      {Py_tp_repr, reinterpret_cast<void*>(wrapper_repr)},
      {Py_tp_getset, wrapper_getset},
      {Py_tp_members, wrapper_members},
      {Py_tp_methods, wrapper_methods},
      {0, nullptr},
  };
  PyType_Spec spec{
      "velna.decorators._Wrapper",
      sizeof(Wrapper),
      0,
      static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                compat::kCallableTypeFlags),
      slots,
  };
  return reinterpret_cast<PyTypeObject*>(vp::keep_new(compat::make_callable_type(&spec)));
}

// wrap makes the wrapper of |f| and gives it the identity of |f|.
pyb::object wrap(compat::VectorcallFunc call, pyb::handle f, pyb::handle extra) {
  Wrapper* w = PyObject_GC_New(Wrapper, wrapper_type);
  if (!w) throw pyb::error_already_set();
  w->vectorcall = call;
  w->f = vp::borrow(f.ptr()).release().ptr();
  w->extra = vp::borrow(extra.ptr()).release().ptr();
  w->dict = nullptr;
  w->weakrefs = nullptr;
  PyObject_GC_Track(w);
  auto wrapper = pyb::reinterpret_steal<pyb::object>(reinterpret_cast<PyObject*>(w));
  static PyObject* update_wrapper =
      vp::keep(pyb::module_::import("functools").attr("update_wrapper"));
  pyb::handle updater(update_wrapper);
  updater(wrapper, f);
  return wrapper;
}

}  // namespace

PYBIND11_MODULE(decorators, m) {
  vp::ModuleSetup setup;
  m.doc() = "Call wrappers: call tracing and the login guard.";
  vp::bind_lazily(m, "logging", "logging");
  vp::bind_lazily(m, "functools", "functools");

  if (!wrapper_type) wrapper_type = make_wrapper_type();
  m.attr("_Wrapper") = pyb::handle(reinterpret_cast<PyObject*>(wrapper_type));

  m.def(
      "logged",
      [](pyb::object log) {
        return pyb::cpp_function([log](pyb::object f) { return wrap(logged_call, f, log); },
                                 pyb::name("decorator"), "f"_a,
                                 "Wraps f so that its calls are traced while debugging is on.");
      },
      "Returns a decorator that traces calls to the logger log at debug level.", "log"_a);

  m.def(
      "login_required",
      [](pyb::object provider) {
        return pyb::cpp_function(
            [provider](pyb::object f) { return wrap(login_call, f, provider); },
            pyb::name("decorator"), "f"_a,
            "Wraps f so that it runs only while a user is logged in.");
      },
      "Returns a decorator that refuses calls while nobody is logged in.",
      "provider"_a = pyb::none());
}
