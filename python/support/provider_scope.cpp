#include "provider_scope.h"

#include <new>
#include <string>

namespace velna::py {

namespace {

// special finds |name| on the type of |obj| along its method resolution
// order and binds it to |obj|, as the with statement does; instance
// attributes are not consulted.
pyb::object special(pyb::handle obj, const char* name) {
  pyb::handle type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
  pyb::tuple mro = type.attr("__mro__");
  for (pyb::handle cls : mro) {
    pyb::dict ns = cls.attr("__dict__");
    if (!ns.contains(name)) continue;
    pyb::object attr = ns[name];
    descrgetfunc get = Py_TYPE(attr.ptr())->tp_descr_get;
    if (!get) return attr;
    return steal(get(attr.ptr(), obj.ptr(), type.ptr()));
  }
  return pyb::object();
}

}  // namespace

bool truth(pyb::handle o) {
  int t = PyObject_IsTrue(o.ptr());
  if (t < 0) throw pyb::error_already_set();
  return t != 0;
}

namespace {

pyb::handle or_none(const pyb::object& o) { return o ? pyb::handle(o) : pyb::handle(Py_None); }

}  // namespace

pyb::object exception_of(pyb::error_already_set& e) {
  pyb::object value = e.value();
  pyb::object tb = own(PyException_GetTraceback(value.ptr()));
  if (!tb && e.trace()) PyException_SetTraceback(value.ptr(), e.trace().ptr());
  return value;
}

void set_context(pyb::error_already_set& e, pyb::handle context) {
  pyb::handle value = e.value();
  if (value.is(context)) return;
  if (own(PyException_GetContext(value.ptr()))) return;
  // PyException_SetContext takes over the reference it is given.
  PyException_SetContext(value.ptr(), borrow(context.ptr()).release().ptr());
}

std::optional<pyb::object> run_scoped(pyb::handle get,
                                      const std::function<pyb::object(pyb::handle)>& body) {
  pyb::object scope = get();
  pyb::object enter = special(scope, "__enter__");
  if (!enter) {
    std::string type = Py_TYPE(scope.ptr())->tp_name;
    PyErr_Format(PyExc_TypeError, "'%s' object does not support the context manager protocol",
                 type.c_str());
    throw pyb::error_already_set();
  }
  pyb::object exit = special(scope, "__exit__");
  if (!exit) {
    std::string type = Py_TYPE(scope.ptr())->tp_name;
    PyErr_Format(
        PyExc_TypeError,
        "'%s' object does not support the context manager protocol (missed __exit__ method)",
        type.c_str());
    throw pyb::error_already_set();
  }
  pyb::object provider = enter();
  pyb::object result;
  try {
    // A failure of the binding's own (a cast, memory) becomes the Python
    // error it stands for first, so that leaving the scope is told of it too.
    try {
      result = body(provider);
    } catch (const pyb::builtin_exception& e) {
      e.set_error();
      throw pyb::error_already_set();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      throw pyb::error_already_set();
    }
  } catch (pyb::error_already_set& e) {
    pyb::object value = exception_of(e);
    pyb::object handled;
    try {
      handled = exit(or_none(e.type()), value, or_none(e.trace()));
    } catch (pyb::error_already_set& failed) {
      set_context(failed, value);
      throw;
    }
    if (!truth(handled)) throw;
    return std::nullopt;
  }
  exit(pyb::none(), pyb::none(), pyb::none());
  return result;
}

Globals::Globals(pyb::module_& m) : dict_(pyb::object(m.attr("__dict__")).release().ptr()) {}

pyb::object Globals::operator[](const char* name) const {
  PyObject* o = PyDict_GetItemString(dict_, name);
  if (!o) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw pyb::error_already_set();
  }
  return borrow(o);
}

void raise_with_context(pyb::handle type, std::string_view message, pyb::handle context) {
  PyErr_SetString(type.ptr(), std::string(message).c_str());
  pyb::error_already_set e;
  set_context(e, context);
  throw e;
}

}  // namespace velna::py
