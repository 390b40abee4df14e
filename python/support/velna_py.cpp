#include "velna_py.h"

#include <memory>
#include <string>

#include "velna/error.h"

namespace velna::py {
namespace {

bool interpreter_alive() { return Py_IsInitialized() && !_Py_IsFinalizing(); }

// Objects kept for the life of the process; never decref'd, so that nothing
// runs at interpreter shutdown.
PyObject* logging_module() {
  static PyObject* mod = [] {
    PyObject* m = PyImport_ImportModule("logging");
    if (!m) throw pyb::error_already_set();
    return m;
  }();
  return mod;
}

class PythonSink final : public log::Sink {
 public:
  void write(std::string_view logger, log::Level level, std::string_view text) override {
    if (!interpreter_alive()) return;
    pyb::gil_scoped_acquire gil;
    // A failing log call must not replace the error being reported, if any.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
      log_line(logger, level, text);
    } catch (pyb::error_already_set&) {
    }
    PyErr_Restore(type, value, tb);
  }
  bool tracing() override {
    if (!interpreter_alive()) return false;
    pyb::gil_scoped_acquire gil;
    try {
      return velna::py::tracing();
    } catch (pyb::error_already_set&) {
      return false;
    }
  }
};

void translate(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const InvalidArgument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const TypeMismatch& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const AssertionFailure& e) {
    PyErr_SetString(PyExc_AssertionError, e.what());
  } catch (const InvalidSignature& e) {
    PyErr_SetString(error_type("velna._cryptolib", "InvalidSignature").ptr(), e.what());
  } catch (const DecryptionError& e) {
    PyErr_SetString(error_type("velna.crypto.aes", "DecryptionError").ptr(), e.what());
  } catch (const ParseError& e) {
    PyErr_SetString(error_type("velna._cryptolib", "ParseError").ptr(), e.what());
  } catch (const BuildError& e) {
    PyErr_SetString(error_type("velna._cryptolib", "BuildError").ptr(), e.what());
  } catch (const AlreadyFinalized& e) {
    PyErr_SetString(error_type("velna._cryptolib", "AlreadyFinalized").ptr(), e.what());
  } catch (const UnsupportedAlgorithm& e) {
    PyErr_SetString(error_type("velna._cryptolib", "UnsupportedAlgorithm").ptr(), e.what());
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
}

}  // namespace

ModuleSetup::ModuleSetup(pyb::module_& m) {
  (void)m;
  options_.disable_function_signatures();
  pyb::register_local_exception_translator(translate);
  static bool sink_installed = false;
  if (!sink_installed) {
    log::set_sink(std::make_shared<PythonSink>());
    sink_installed = true;
  }
}

ByteView bytes_arg(pyb::handle o, const char* name) {
  if (!is_bytes(o)) raise_type_error(std::string(name) + " must be bytes");
  return view_of(o);
}

std::string_view text_utf8(pyb::handle o) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o.ptr(), &n);
  if (!s) throw pyb::error_already_set();
  return {s, static_cast<std::size_t>(n)};
}

ByteView bytes_or_text_arg(pyb::handle o, const char* name) {
  if (is_bytes(o)) return view_of(o);
  if (is_text(o)) return as_bytes(text_utf8(o));
  raise_type_error(std::string(name) + " must be bytes or str");
}

pyb::object get_logger(std::string_view name) {
  PyObject* fn = PyObject_GetAttrString(logging_module(), "getLogger");
  if (!fn) throw pyb::error_already_set();
  auto get = pyb::reinterpret_steal<pyb::object>(fn);
  return get(pyb::str(name.data(), name.size()));
}

bool tracing() {
  // Runs on every traced-or-not call: no new objects but the ones Python
  // hands back. logging.getLogger is still looked up at each call.
  static PyObject* get_logger_name = PyUnicode_InternFromString("getLogger");
  static PyObject* velna_name = PyUnicode_InternFromString("velna");
  static PyObject* level_name = PyUnicode_InternFromString("level");
  static PyObject* debug = PyLong_FromLong(10);
  PyObject* get = PyObject_GetAttr(logging_module(), get_logger_name);
  if (!get) throw pyb::error_already_set();
  auto logger = pyb::reinterpret_steal<pyb::object>(PyObject_CallOneArg(get, velna_name));
  Py_DECREF(get);
  if (!logger) throw pyb::error_already_set();
  PyObject* level = PyObject_GetAttr(logger.ptr(), level_name);
  if (!level) throw pyb::error_already_set();
  int eq = PyObject_RichCompareBool(level, debug, Py_EQ);
  Py_DECREF(level);
  if (eq < 0) throw pyb::error_already_set();
  return eq == 1;
}

void log_line(std::string_view logger, log::Level level, std::string_view text) {
  pyb::object l = get_logger(logger);
  l.attr("log")(static_cast<int>(level), pyb::str(text.data(), text.size()));
}

pyb::object error_type(const char* module, const char* name) {
  return pyb::module_::import(module).attr(name);
}

PyObject* shared_error_type(const char* key, const char* name, const char* doc, PyObject* base) {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!state) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter state dictionary");
    return nullptr;
  }
  PyObject* cls = PyDict_GetItemString(state, key);
  if (cls) return cls;
  cls = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
  if (!cls) return nullptr;
  const int r = PyDict_SetItemString(state, key, cls);
  Py_DECREF(cls);
  if (r < 0) return nullptr;
  return cls;  // borrowed from the interpreter's dictionary
}

void raise_error(pyb::handle type, std::string_view message) {
  PyErr_SetObject(type.ptr(), pyb::str(message.data(), message.size()).ptr());
  throw pyb::error_already_set();
}

void raise_value_error(std::string_view message) { raise_error(PyExc_ValueError, message); }
void raise_type_error(std::string_view message) { raise_error(PyExc_TypeError, message); }
void raise_assertion(std::string_view message) { raise_error(PyExc_AssertionError, message); }

void register_native(const char* key, pyb::handle fn) {
  fn.inc_ref();  // kept for the life of the process
  pyb::set_shared_data(std::string("velna.native.") + key, fn.ptr());
}

bool is_native(const char* key, pyb::handle fn) {
  return pyb::get_shared_data(std::string("velna.native.") + key) == fn.ptr();
}

}  // namespace velna::py
