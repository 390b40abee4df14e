#include "provider_scope.h"

#include <new>

#include "fast_path.h"

namespace velna::py {

namespace {

pyb::handle or_none(const pyb::object& o) { return o ? pyb::handle(o) : pyb::handle(Py_None); }

// refuse_scope raises the TypeError of a with statement whose object lacks
// |what| of the context manager protocol.
[[noreturn]] void refuse_scope(pyb::handle scope, const char* what) {
  PyErr_Format(PyExc_TypeError, "'%s' object does not support the context manager protocol%s",
               Py_TYPE(scope.ptr())->tp_name, what);
  throw pyb::error_already_set();
}

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
  static PyObject* const enter_name = intern("__enter__");
  static PyObject* const exit_name = intern("__exit__");
  pyb::object enter = lookup_special(scope, enter_name);
  if (!enter) refuse_scope(scope, "");
  pyb::object exit = lookup_special(scope, exit_name);
  if (!exit) refuse_scope(scope, " (missed __exit__ method)");
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
    if (!truthy(handled)) throw;
    return std::nullopt;
  }
  exit(pyb::none(), pyb::none(), pyb::none());
  return result;
}

Globals::Globals(pyb::module_& m) : dict_(keep(m.attr("__dict__"))) {}

pyb::object Globals::operator[](const char* name) const {
  PyObject* o = PyDict_GetItemString(dict_, name);
  if (!o) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw pyb::error_already_set();
  }
  return borrow(o);
}

void raise_with_context(pyb::handle type, std::string_view message, pyb::handle context) {
  try {
    raise_error(type, message);
  } catch (pyb::error_already_set& e) {
    set_context(e, context);
    throw;
  }
}

}  // namespace velna::py
