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
#include <exception>
#include <new>

#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

struct Wrapper {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* f;      // the wrapped callable
  PyObject* extra;  // logged: the logger; login_required: the provider or None
  PyObject* dict;
  PyObject* weakrefs;
};

PyTypeObject* wrapper_type = nullptr;  // kept for the life of the process

// Interned names and constants, kept for the life of the process.
PyObject* s_name = nullptr;
PyObject* s_debug = nullptr;
PyObject* s_session = nullptr;
PyObject* s_user = nullptr;
PyObject* s_get = nullptr;
PyObject* s_enter = nullptr;
PyObject* s_exit = nullptr;
PyObject* s_comma = nullptr;
PyObject* s_entry_format = nullptr;
PyObject* s_exit_format = nullptr;
PyObject* s_providers = nullptr;
PyObject* s_must_login = nullptr;

Wrapper* as_wrapper(PyObject* self) { return reinterpret_cast<Wrapper*>(self); }

// ---- logged ---------------------------------------------------------------

// Owned references that the trace code drops on every way out.
using Ref = pyb::object;
Ref own(PyObject* o) { return pyb::reinterpret_steal<pyb::object>(o); }

// entry_trace writes "%s(%s, %s)" with the name of f, the text forms of the
// positional arguments joined by "," and a new mapping of the keywords, read
// in this order.
bool entry_trace(Wrapper* w, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Ref name = own(PyObject_GetAttr(w->f, s_name));
  if (!name) return false;
  Ref texts = own(PyTuple_New(nargs));
  if (!texts) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyObject* t = PyObject_Str(args[i]);
    if (!t) return false;
    PyTuple_SET_ITEM(texts.ptr(), i, t);
  }
  Ref joined = own(PyUnicode_Join(s_comma, texts.ptr()));
  if (!joined) return false;
  Ref kwargs = own(PyDict_New());
  if (!kwargs) return false;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    if (PyDict_SetItem(kwargs.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return false;

  PyObject* call[] = {w->extra, s_entry_format, name.ptr(), joined.ptr(), kwargs.ptr()};
  Ref r = own(PyObject_VectorcallMethod(s_debug, call, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return bool(r);
}

// exit_trace writes "%s(...) --> %s" with the name of f and its result.
bool exit_trace(Wrapper* w, PyObject* result) {
  Ref name = own(PyObject_GetAttr(w->f, s_name));
  if (!name) return false;
  PyObject* call[] = {w->extra, s_exit_format, name.ptr(), result};
  Ref r = own(PyObject_VectorcallMethod(s_debug, call, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  return bool(r);
}

PyObject* logged_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Wrapper* w = as_wrapper(self);
  // Decided once, before f runs: a level that f itself changes counts from
  // the next call.
  bool on;
  try {
    on = velna::py::tracing();
  } catch (pyb::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  if (!on) return PyObject_Vectorcall(w->f, args, nargsf, kwnames);

  if (!entry_trace(w, args, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
  PyObject* result = PyObject_Vectorcall(w->f, args, nargsf, kwnames);
  if (result && !exit_trace(w, result)) Py_CLEAR(result);
  return result;
}

// ---- login_required -------------------------------------------------------

// lookup_special finds a method on the type, as the with statement does, and
// binds it to |obj|. Null without an error when the type lacks it.
PyObject* lookup_special(PyObject* obj, PyObject* name) {
  PyObject* attr = _PyType_Lookup(Py_TYPE(obj), name);
  if (!attr) return nullptr;
  Py_INCREF(attr);
  if (descrgetfunc get = Py_TYPE(attr)->tp_descr_get) {
    PyObject* bound = get(attr, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    Py_DECREF(attr);
    return bound;
  }
  return attr;
}

// registry_get is get of the package velna.providers, imported now (the
// package is loaded on first use; later calls find it in sys.modules).
PyObject* registry_get() {
  PyObject* pkg = PyImport_GetModule(s_providers);
  if (!pkg) {
    if (PyErr_Occurred()) return nullptr;
    pkg = PyImport_Import(s_providers);
    if (!pkg) return nullptr;
  }
  PyObject* get = PyObject_GetAttr(pkg, s_get);
  Py_DECREF(pkg);
  if (!get && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ImportError, "cannot import name 'get' from 'velna.providers'");
  }
  return get;
}

// Outcome of reading the active provider's session inside a registry scope.
enum class Scoped { Session, Failed, Swallowed };

// scoped_session enters get() of the registry, reads session from the
// provider it yields and leaves the scope again, telling it the failure, if
// any, exactly as a with statement would.
Scoped scoped_session(PyObject** session, PyObject** swallowed) {
  PyObject* get = registry_get();
  if (!get) return Scoped::Failed;
  PyObject* scope = PyObject_CallNoArgs(get);
  Py_DECREF(get);
  if (!scope) return Scoped::Failed;

  PyObject* enter = lookup_special(scope, s_enter);
  if (!enter) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                   Py_TYPE(scope)->tp_name);
    Py_DECREF(scope);
    return Scoped::Failed;
  }
  PyObject* exit = lookup_special(scope, s_exit);
  if (!exit) {
    if (!PyErr_Occurred())
      PyErr_Format(PyExc_TypeError,
                   "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                   Py_TYPE(scope)->tp_name);
    Py_DECREF(enter);
    Py_DECREF(scope);
    return Scoped::Failed;
  }
  Py_DECREF(scope);

  PyObject* provider = PyObject_CallNoArgs(enter);
  Py_DECREF(enter);
  if (!provider) {
    Py_DECREF(exit);
    return Scoped::Failed;
  }
  *session = PyObject_GetAttr(provider, s_session);
  Py_DECREF(provider);

  if (*session) {
    PyObject* r = PyObject_CallFunctionObjArgs(exit, Py_None, Py_None, Py_None, nullptr);
    Py_DECREF(exit);
    if (!r) {
      Py_CLEAR(*session);
      return Scoped::Failed;
    }
    Py_DECREF(r);
    return Scoped::Session;
  }

  // Leave the scope with the failure; it passes on unless the scope says it
  // handled it.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  // The failure counts as being handled while the scope leaves, so that a
  // failure of leaving gets it as its context, as in a with statement.
  PyObject* outer = PyErr_GetHandledException();
  PyErr_SetHandledException(value);
  PyObject* r = PyObject_CallFunctionObjArgs(exit, type, value, tb ? tb : Py_None, nullptr);
  PyErr_SetHandledException(outer);
  Py_XDECREF(outer);
  Py_DECREF(exit);
  if (!r) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return Scoped::Failed;
  }
  int handled = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (handled < 0) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return Scoped::Failed;
  }
  if (!handled) {
    PyErr_Restore(type, value, tb);
    return Scoped::Failed;
  }
  Py_XDECREF(type);
  Py_XDECREF(tb);
  *swallowed = value;
  return Scoped::Swallowed;
}

PyObject* login_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Wrapper* w = as_wrapper(self);
  PyObject* session = nullptr;
  if (w->extra == Py_None) {
    PyObject* swallowed = nullptr;
    switch (scoped_session(&session, &swallowed)) {
      case Scoped::Session:
        break;
      case Scoped::Failed:
        return nullptr;
      case Scoped::Swallowed: {
        // The scope handled the failure, so no session was read: nobody is
        // known to be logged in, and the guarded call is refused.
        PyErr_SetObject(PyExc_RuntimeError, s_must_login);
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyErr_NormalizeException(&t, &v, &tb);
        PyException_SetContext(v, swallowed);  // steals swallowed
        PyErr_Restore(t, v, tb);
        return nullptr;
      }
    }
  } else {
    session = PyObject_GetAttr(w->extra, s_session);
    if (!session) return nullptr;
  }
  PyObject* user = PyObject_GetAttr(session, s_user);
  Py_DECREF(session);
  if (!user) return nullptr;
  bool nobody = user == Py_None;
  Py_DECREF(user);
  if (nobody) {
    PyErr_SetObject(PyExc_RuntimeError, s_must_login);
    return nullptr;
  }
  return PyObject_Vectorcall(w->f, args, nargsf, kwnames);
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
  static PyObject* s_qualname = PyUnicode_InternFromString("__qualname__");
  return PyObject_GetAttr(self, s_qualname);
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
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
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
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
          Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) throw pyb::error_already_set();
  return reinterpret_cast<PyTypeObject*>(type);
}

// wrap makes the wrapper of |f| and gives it the identity of |f|.
pyb::object wrap(vectorcallfunc call, pyb::handle f, pyb::handle extra) {
  Wrapper* w = PyObject_GC_New(Wrapper, wrapper_type);
  if (!w) throw pyb::error_already_set();
  w->vectorcall = call;
  w->f = pyb::handle(f).inc_ref().ptr();
  w->extra = pyb::handle(extra).inc_ref().ptr();
  w->dict = nullptr;
  w->weakrefs = nullptr;
  PyObject_GC_Track(w);
  auto wrapper = pyb::reinterpret_steal<pyb::object>(reinterpret_cast<PyObject*>(w));
  static PyObject* update_wrapper = velna::py::keep(pyb::module_::import("functools").attr("update_wrapper"));
  pyb::handle updater(update_wrapper);
  updater(wrapper, f);
  return wrapper;
}

PyObject* intern(const char* s) {
  PyObject* o = PyUnicode_InternFromString(s);
  if (!o) throw pyb::error_already_set();
  return o;
}

}  // namespace

PYBIND11_MODULE(decorators, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "Call wrappers: call tracing and the login guard.";
  m.attr("logging") = pyb::module_::import("logging");
  m.attr("functools") = pyb::module_::import("functools");

  if (!wrapper_type) {
    s_name = intern("__name__");
    s_debug = intern("debug");
    s_session = intern("session");
    s_user = intern("user");
    s_get = intern("get");
    s_enter = intern("__enter__");
    s_exit = intern("__exit__");
    s_comma = intern(",");
    s_entry_format = intern("%s(%s, %s)");
    s_exit_format = intern("%s(...) --> %s");
    s_providers = intern("velna.providers");
    s_must_login = intern("Must login!");
    wrapper_type = make_wrapper_type();
  }
  m.attr("_Wrapper") = pyb::handle(reinterpret_cast<PyObject*>(wrapper_type));

  m.def(
      "logged",
      [](pyb::object log) {
        return pyb::cpp_function(
            [log](pyb::object f) { return wrap(logged_call, f, log); }, pyb::name("decorator"),
            "f"_a, "Wraps f so that its calls are traced while debugging is on.");
      },
      "Returns a decorator that traces calls to the logger log at debug level.", "log"_a);

  m.def(
      "login_required",
      [](pyb::object provider) {
        return pyb::cpp_function(
            [provider](pyb::object f) { return wrap(login_call, f, provider); }, pyb::name("decorator"),
            "f"_a, "Wraps f so that it runs only while a user is logged in.");
      },
      "Returns a decorator that refuses calls while nobody is logged in.", "provider"_a = pyb::none());
}
