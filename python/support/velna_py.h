// Binding support shared by every extension module: module set-up, bytes in
// and out without copies, error translation and the logging bridge.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string_view>

#include "velna/bytes.h"
#include "velna/log.h"

namespace velna::py {

namespace pyb = pybind11;

// ModuleSetup prepares a module for as long as it lives in the module's init
// function: help texts are the documented first lines (no signature lines),
// core errors map to the promised Python types, and the core's log lines go
// to the standard logging module.
class ModuleSetup {
 public:
  explicit ModuleSetup(pyb::module_& m);

 private:
  pyb::options options_;
};

// is_bytes: the immutable byte-string type or a subtype of it.
inline bool is_bytes(pyb::handle o) { return PyBytes_Check(o.ptr()); }
// is_text: the string type or a subtype of it.
inline bool is_text(pyb::handle o) { return PyUnicode_Check(o.ptr()); }

// view_of reads a bytes object in place. The view lives as long as |o|.
inline ByteView view_of(pyb::handle o) {
  return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(o.ptr())),
          static_cast<std::size_t>(PyBytes_GET_SIZE(o.ptr()))};
}

// bytes_arg is view_of for |o| when it is a byte string; otherwise it raises
// TypeError "<name> must be bytes".
ByteView bytes_arg(pyb::handle o, const char* name);

// text_utf8 is the UTF-8 form of a str, read in place (raises the runtime's
// UnicodeEncodeError for lone surrogates).
std::string_view text_utf8(pyb::handle o);

// bytes_or_text_arg: a byte string as it is, text as its UTF-8 encoding;
// anything else raises TypeError "<name> must be bytes or str".
ByteView bytes_or_text_arg(pyb::handle o, const char* name);

// Work on at least this many bytes runs with the GIL released.
inline constexpr std::size_t kReleaseGilAbove = 64 * 1024;

// new_bytes allocates one bytes object of |n| bytes and lets |fill| write
// into it, with the GIL released when the work is large. |fill| must not
// touch Python objects.
template <typename Fill>
pyb::bytes new_bytes(std::size_t n, Fill&& fill, std::size_t work = 0) {
  PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!o) throw pyb::error_already_set();
  auto result = pyb::reinterpret_steal<pyb::bytes>(o);
  auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(o));
  if ((work ? work : n) >= kReleaseGilAbove) {
    pyb::gil_scoped_release nogil;
    fill(out);
  } else {
    fill(out);
  }
  return result;
}

inline pyb::bytes to_bytes(ByteView b) {
  return pyb::reinterpret_steal<pyb::bytes>(pyb::handle(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()))));
}

// tracing: the level set on the logger "velna" (looked up through
// logging.getLogger at each call) is exactly DEBUG.
bool tracing();

// get_logger is logging.getLogger(name), looked up at each call.
pyb::object get_logger(std::string_view name);

// log_line writes one line through logging.getLogger(logger).log(...).
void log_line(std::string_view logger, log::Level level, std::string_view text);

// error_type returns the exception class |name| of module |module|, imported
// on first use.
pyb::object error_type(const char* module, const char* name);

// shared_error_type returns the exception class |name| (a subclass of
// |base|), made on first use and kept in the interpreter's state dictionary
// under |key|, so that every extension module raises the very same class.
// Returns nullptr with a Python error set on failure.
PyObject* shared_error_type(const char* key, const char* name, const char* doc, PyObject* base);

// raise_error sets the Python error |type| with |message| and throws
// error_already_set.
[[noreturn]] void raise_error(pyb::handle type, std::string_view message);
[[noreturn]] void raise_value_error(std::string_view message);
[[noreturn]] void raise_type_error(std::string_view message);
[[noreturn]] void raise_assertion(std::string_view message);

// Our own functions that other modules look up at each call register here;
// when the looked-up attribute is still the registered object, the caller
// may go to the core directly instead of through Python.
void register_native(const char* key, pyb::handle fn);
bool is_native(const char* key, pyb::handle fn);

// keep holds |o| for the life of the process: it is never released, so no
// destructor touches Python after the interpreter has finalised.
inline PyObject* keep(pyb::object o) { return o.release().ptr(); }

// import_module wraps pybind11's import for readability at call sites.
inline pyb::module_ import_module(const char* name) { return pyb::module_::import(name); }

}  // namespace velna::py
