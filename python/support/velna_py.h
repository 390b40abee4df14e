// Binding support shared by every extension module: module set-up, bytes in
// and out without copies, references, exception classes and their
// translation, the GIL around long work, and the logging bridge. The
// library is shared by all modules, so its state exists once per process.
// The fast paths of the raw C API are in fast_path.h; CPython APIs that are
// private or newer than 3.7 only in py_compat.h.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "velna/bytes.h"
#include "velna/log.h"

// Functions of the shared support library. pybind11's types are hidden in
// every library, so declarations that use them are exported explicitly.
#define VELNA_PY_API __attribute__((visibility("default")))

namespace velna::py {

namespace pyb = pybind11;

// translate_core_error sets the Python error for a core error (see
// ModuleSetup).
VELNA_PY_API void translate_core_error(std::exception_ptr p);
// install_log_sink sends the core's log lines to the logging module (once).
VELNA_PY_API void install_log_sink();

// ModuleSetup prepares a module for as long as it lives in the module's init
// function: help texts are the documented first lines (no signature lines),
// core errors map to the promised Python types (InvalidArgument: ValueError,
// TypeMismatch: TypeError, AssertionFailure: AssertionError, the crypto
// errors: the classes of velna._cryptolib and velna.crypto.aes, OsError:
// the OSError its errno names, the local store's database errors:
// IntegrityError and OperationalError of velna.providers.zov.database,
// others: RuntimeError), and the core's log lines go to the standard
// logging module. It is inline on purpose:
// pybind11 keeps translators and options per module.
class __attribute__((visibility("hidden"))) ModuleSetup {
 public:
  ModuleSetup() {
    options_.disable_function_signatures();
    pyb::register_local_exception_translator(translate_core_error);
    install_log_sink();
  }

 private:
  pyb::options options_;
};

// ---- references ----------------------------------------------------------
//
// pybind11::object is the one owner of references. steal takes over a new
// reference from the C API and throws error_already_set when it is null;
// own takes it over as it is (null stays null), for code that reports
// failures by returning null; borrow adds a reference.

inline pyb::object steal(PyObject* o) {
  if (!o) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(o);
}
inline pyb::object own(PyObject* o) { return pyb::reinterpret_steal<pyb::object>(o); }
inline pyb::object borrow(PyObject* o) { return pyb::reinterpret_borrow<pyb::object>(o); }

// keep holds |o| for the life of the process: it is never released, so no
// destructor touches Python after the interpreter has finalised. Objects a
// module keeps (classes, functions, constants) are made at module load and
// kept with keep, which refuses a null object.
inline PyObject* keep(pyb::object o) {
  if (!o) throw pyb::error_already_set();
  return o.release().ptr();
}
// keep_new keeps a new reference from the C API; null throws.
inline PyObject* keep_new(PyObject* o) { return keep(steal(o)); }

// ---- bytes and text ------------------------------------------------------

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
[[noreturn]] VELNA_PY_API void refuse_arg(const char* name, const char* expected);
inline ByteView bytes_arg(pyb::handle o, const char* name) {
  if (!is_bytes(o)) refuse_arg(name, "bytes");
  return view_of(o);
}

// text_utf8 is the UTF-8 form of a str, read in place (raises the runtime's
// UnicodeEncodeError for lone surrogates).
inline std::string_view text_utf8(pyb::handle o) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o.ptr(), &n);
  if (!s) throw pyb::error_already_set();
  return {s, static_cast<std::size_t>(n)};
}

// fs_path is the file system's name of a path-like object (str, bytes or
// os.PathLike), as os.fsencode gives it.
inline std::string fs_path(pyb::handle o) {
  pyb::object path = steal(PyOS_FSPath(o.ptr()));
  if (is_bytes(path)) return std::string(as_chars(view_of(path)));
  pyb::object encoded = steal(PyUnicode_EncodeFSDefault(path.ptr()));
  return std::string(as_chars(view_of(encoded)));
}

// bytes_or_text_arg: a byte string as it is, text as its UTF-8 encoding;
// anything else raises TypeError "<name> must be bytes or str".
inline ByteView bytes_or_text_arg(pyb::handle o, const char* name) {
  if (is_bytes(o)) return view_of(o);
  if (!is_text(o)) refuse_arg(name, "bytes or str");
  return as_bytes(text_utf8(o));
}

// stable_bytes reads |data| in place, for as long as |holder| lives, when
// its bytes can neither change nor go away meanwhile: a byte string, or a
// read-only contiguous view of one. Such a view is held through a view of
// our own on the same buffer, so that the caller releasing theirs (from
// another thread while the work runs with the GIL released, say) frees
// nothing under us. Anything else bytes-like is copied into a new byte
// string first; a released view raises ValueError, anything not bytes-like
// TypeError.
VELNA_PY_API ByteView stable_bytes(pyb::handle data, pyb::object& holder);

// ---- numbers -------------------------------------------------------------

// positive_limit reads a limit that callers set, a count of bytes or pages:
// an integer above 0, else ValueError "<name> must be a positive integer"
// (TypeError for what is no integer); a count beyond 2^64 - 1 is no limit
// and reads as that.
VELNA_PY_API std::uint64_t positive_limit(pyb::handle value, const char* name);

// ---- the GIL -------------------------------------------------------------

// Work on at least this many bytes runs with the GIL released.
inline constexpr std::size_t kReleaseGilAbove = 64 * 1024;

// run_without_gil runs |fn| with the GIL released, whatever the size of its
// input: for work that is long in itself (key derivation, signatures,
// transfers, the file system). |fn| must not touch Python objects.
template <typename F>
decltype(auto) run_without_gil(F&& fn) {
  pyb::gil_scoped_release nogil;
  return fn();
}

// run_released runs |fn| through run_without_gil when |work| bytes are at
// least kReleaseGilAbove, else with the GIL held. |fn| must not touch
// Python objects.
template <typename F>
decltype(auto) run_released(std::size_t work, F&& fn) {
  if (work >= kReleaseGilAbove) return run_without_gil(std::forward<F>(fn));
  return fn();
}

// uninitialized_bytes is a new bytes object of |n| bytes whose content is
// still to be written at |out|.
inline pyb::bytes uninitialized_bytes(std::size_t n, std::uint8_t*& out) {
  PyObject* o = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
  if (!o) throw pyb::error_already_set();
  out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(o));
  return pyb::reinterpret_steal<pyb::bytes>(o);
}

// new_bytes allocates one bytes object of |n| bytes and lets |fill| write
// into it, through run_released for |work| bytes (|n| when 0);
// new_bytes_without_gil through run_without_gil, for output that is long
// work whatever its length. |fill| must not touch Python objects.
template <typename Fill>
pyb::bytes new_bytes(std::size_t n, Fill&& fill, std::size_t work = 0) {
  std::uint8_t* out = nullptr;
  pyb::bytes result = uninitialized_bytes(n, out);
  run_released(work ? work : n, [&] { fill(out); });
  return result;
}
template <typename Fill>
pyb::bytes new_bytes_without_gil(std::size_t n, Fill&& fill) {
  std::uint8_t* out = nullptr;
  pyb::bytes result = uninitialized_bytes(n, out);
  run_without_gil([&] { fill(out); });
  return result;
}

inline pyb::bytes to_bytes(ByteView b) {
  PyObject* o = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                          static_cast<Py_ssize_t>(b.size()));
  if (!o) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::bytes>(o);
}

// ---- logging -------------------------------------------------------------

// tracing: the level set on the logger "velna" (looked up through
// logging.getLogger at each call) is exactly DEBUG.
VELNA_PY_API bool tracing();

// get_logger is logging.getLogger(name), looked up at each call.
VELNA_PY_API pyb::object get_logger(std::string_view name);

// log_line writes one line through logging.getLogger(logger).log(...).
VELNA_PY_API void log_line(std::string_view logger, log::Level level, std::string_view text);

// ---- names bound on first use ---------------------------------------------

// bind_lazily binds the name |name| of module |m| here, in the module's
// order of names, to a value made on its first read instead of now: the
// attribute |attr| of module |module| (the module itself without |attr|),
// called with |arg| when one is given. bind_lazily(m, "log", "logging",
// "getLogger", "velna.crypto") is m.log = logging.getLogger("velna.crypto")
// without importing logging before m.log is read. The first read stores the
// value in the module, so it is one object for every reader, and a patched
// value replaces it as it would any attribute. For the standard-library
// names a module exposes but needs only once it is used (logging, uuid,
// datetime, pathlib, ...). The strings must live as long as the process
// (literals).
VELNA_PY_API void bind_lazily(pyb::module_& m, const char* name, const char* module,
                              const char* attr = nullptr, const char* arg = nullptr);

// FirstUse is a standard-library object that a source keeps for its own
// calls (no name of the module) but needs only once a call uses it: the
// attribute |attr| (a dotted path, "timezone.utc") of module |module|, or the
// module itself without |attr|, imported on the first read and kept for the
// process. Declared where the object imported at load was kept,
// FirstUse utc{"datetime", "timezone.utc"}, it reads as that object (a
// PyObject*, and so a handle); a failed import raises its error there and is
// tried again at the next read. Two threads reading it first at once may
// both import; one value is kept.
class FirstUse {
 public:
  constexpr explicit FirstUse(const char* module, const char* attr = nullptr)
      : module_(module), attr_(attr) {}
  FirstUse(const FirstUse&) = delete;
  FirstUse& operator=(const FirstUse&) = delete;

  VELNA_PY_API PyObject* get();
  operator PyObject*() { return value_ ? value_ : get(); }  // NOLINT(google-explicit-constructor)

 private:
  const char* module_;
  const char* attr_;
  PyObject* value_ = nullptr;
};

// first_made is the one T of the process, made by |make| (which returns a
// new T) on the first call and kept. Unlike a function-local static it holds
// no lock while |make| runs: an import inside it lets other threads run, and
// one that came here too would wait on that lock holding the GIL, so that
// neither went on. Callers hold the GIL; threads that make it at once each
// make one, and the first kept stays.
template <typename T, typename Make>
T& first_made(Make make) {
  static T* kept = nullptr;
  if (!kept) {
    T* made = make();
    if (kept)
      delete made;
    else
      kept = made;
  }
  return *kept;
}

// lazy_binding is what |m| holds under |name| without making it: the value,
// or the stand-in of a name bound lazily and not read yet, for a caller
// that keeps it (a decorator given the module's logger at load) and reads
// it only later, through resolve_lazy.
VELNA_PY_API pyb::object lazy_binding(pyb::module_& m, const char* name);
// resolve_lazy replaces |*slot|, a reference it owns, by the value when it
// is such a stand-in; false with an error set when making the value fails.
VELNA_PY_API bool resolve_lazy(PyObject** slot);
// is_lazy_binding: |v| is the stand-in of a name bound lazily and not read
// yet (for code that reads a module's __dict__ as Python reads globals).
VELNA_PY_API bool is_lazy_binding(PyObject* v);

// ---- credentials in texts ------------------------------------------------

// masked is |value| as a message or a log line may show it: "***" when
// |name| (the key or header name it stands under) is a credential's name
// (velna::http::secret_name); otherwise text with the credentials of an
// address in it masked (velna::http::mask_url), and a dict, list or tuple
// with those of its members masked, at any depth. Only what changes is
// copied; anything else is |value| itself. Texts, log lines and the text
// forms of requests and answers go through it; the objects callers read
// (a response's url, the headers that were sent) keep the true values.
VELNA_PY_API pyb::object masked(pyb::handle value, std::string_view name = {});

// ---- exceptions ----------------------------------------------------------

// define_error makes the exception class |name| of |module| (qualified name
// "<module>.<name>", a subclass of |base|, with |doc|), adds it to the
// module and returns it. Core errors translate to such classes by the
// module and name given in translate_core_error.
VELNA_PY_API pyb::object define_error(pyb::module_& module, const char* name, const char* doc,
                                      pyb::handle base = PyExc_Exception);

// error_type returns the exception class |name| of module |module|, imported
// on first use.
VELNA_PY_API pyb::object error_type(const char* module, const char* name);

// raise_error sets the Python error |type| with |message| and throws
// error_already_set. Bindings raise Python errors this way (or throw core
// errors, which ModuleSetup translates), never a bare C++ exception.
[[noreturn]] VELNA_PY_API void raise_error(pyb::handle type, std::string_view message);
// raise_error without a message raises |type| without arguments, as
// `raise Type` does.
[[noreturn]] VELNA_PY_API void raise_error(pyb::handle type);
[[noreturn]] VELNA_PY_API void raise_value_error(std::string_view message);
[[noreturn]] VELNA_PY_API void raise_type_error(std::string_view message);

// Attribute is a name and a value that raise_error sets on the exception.
// Hidden, as pybind11's types are, since it holds one.
struct __attribute__((visibility("hidden"))) Attribute {
  const char* name;
  pyb::handle value;
};

// raise_error with attributes raises an instance of |type| made from
// |message| alone, with each of |attributes| set on it in order: for the
// errors whose callers read more than their message (the request and
// answer of an HTTP error, the position of a JSON decoding error).
[[noreturn]] VELNA_PY_API void raise_error(pyb::handle type, std::string_view message,
                                           std::initializer_list<Attribute> attributes);

// translate_current sets the Python error for the C++ exception being
// handled (inside a catch block): core errors as their Python types, an
// error_already_set as itself, pybind11's own errors as theirs, a failed
// allocation as MemoryError, anything else as RuntimeError. For code that
// returns null to Python itself instead of going through pybind11.
VELNA_PY_API void translate_current();

// ---- our own functions ---------------------------------------------------

// Our own functions that other modules look up at each call register here;
// when the looked-up attribute is still the registered object, the caller
// may go to the core directly instead of through Python (see Own and
// late_bound in fast_path.h). The registry is one per process.
VELNA_PY_API void register_native(const char* key, pyb::handle fn);
VELNA_PY_API bool is_native(const char* key, pyb::handle fn);

// import_module wraps pybind11's import for readability at call sites.
inline pyb::module_ import_module(const char* name) { return pyb::module_::import(name); }

}  // namespace velna::py
