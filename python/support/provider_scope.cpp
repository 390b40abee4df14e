#include "provider_scope.h"

#include "fast_path.h"
#include "py_compat.h"

namespace velna::py {

namespace {

struct Names {
  VELNA_PY_NAME_FIELD(__enter__)
  VELNA_PY_NAME_FIELD(__exit__)
};
const Names& N() { return table<Names>(); }

// refuse_scope raises the TypeError of a with statement whose object lacks
// |what| of the context manager protocol.
[[noreturn]] void refuse_scope(pyb::handle scope, const char* what) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
               Py_TYPE(scope.ptr())->tp_name, what);
  throw pyb::error_already_set();
}

// failure_of_current takes the C++ exception being handled as the Python
// exception it stands for, with its traceback attached.
pyb::object failure_of_current() {
  translate_current();
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "a failure without an exception");
  return own(compat::take_error());
}

// Handling makes |failure| the exception being handled (what sys.exc_info()
// gives) for as long as it lives, as an except block does: what is raised
// meanwhile gets it as its context.
class Handling {
 public:
  explicit Handling(pyb::handle failure) : outer_(own(compat::handled_exception())) {
    compat::set_handled_exception(failure.ptr());
  }
  ~Handling() { compat::set_handled_exception(outer_.ptr()); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;

 private:
  pyb::object outer_;
};

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
                                      const std::function<pyb::object(pyb::handle)>& body,
                                      pyb::object* handled) {
  pyb::object scope = call0(get);
  pyb::object enter = lookup_special(scope, N().__enter__);
  if (!enter) refuse_scope(scope, "");
  pyb::object exit = lookup_special(scope, N().__exit__);
  if (!exit) refuse_scope(scope, " (missed __exit__ method)");
  scope = pyb::object();
  pyb::object provider = call0(enter);

  pyb::object result, failure;
  try {
    result = body(provider);
  } catch (...) {
    failure = failure_of_current();
  }
  if (!failure) {
    PyObject* none[] = {Py_None, Py_None, Py_None};
    steal(compat::call(exit.ptr(), none, 3, nullptr));
    return result;
  }

  bool swallowed;
  {
    Handling handling(failure);
    pyb::object tb = own(PyException_GetTraceback(failure.ptr()));
    PyObject* told[] = {reinterpret_cast<PyObject*>(Py_TYPE(failure.ptr())), failure.ptr(),
                        tb ? tb.ptr() : Py_None};
    swallowed = truthy(steal(compat::call(exit.ptr(), told, 3, nullptr)));
  }
  if (!swallowed) {
    compat::raise_taken(failure.release().ptr());
    throw pyb::error_already_set();
  }
  if (handled) *handled = std::move(failure);
  return std::nullopt;
}

Globals::Globals(pyb::module_& m) : module_(keep(m)), dict_(keep(m.attr("__dict__"))) {}

pyb::object Globals::operator[](const char* name) const {
  PyObject* o = PyDict_GetItemString(dict_, name);
  if (!o) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw pyb::error_already_set();
  }
  if (is_lazy_binding(o)) return pyb::handle(module_).attr(name);  // made now
  return borrow(o);
}

void raise_with_context(pyb::handle type, std::string_view message, pyb::handle context) {
  Handling handling(context);
  raise_error(type, message);
}

}  // namespace velna::py
