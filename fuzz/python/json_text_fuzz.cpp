// The JSON text reader of the bindings, inside an embedded interpreter. Any
// input either loads or fails with the reader's own errors (JSONDecodeError,
// UnicodeDecodeError for bytes that are not UTF-8, RecursionError for deep
// nesting); what loads is written back with dumps and loads again to the
// same value, and the same text given as str loads to the same value as
// given as bytes.
#include <pybind11/embed.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_util.h"
#include "json_text.h"

namespace py = pybind11;
namespace json = velna::py::json;
using velna::fuzz::expect;

// Python keeps objects for the life of the process that LeakSanitizer would
// report at exit.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

// load returns the loaded value, or nothing when loading failed as the
// reader may fail; any other failure is a finding.
py::object load(py::handle text) {
  try {
    return json::loads(text);
  } catch (py::error_already_set& e) {
    if (e.matches(json::decode_error()) || e.matches(PyExc_UnicodeDecodeError) ||
        e.matches(PyExc_RecursionError))
      return py::object();
    std::fprintf(stderr, "loads raised %s\n", e.what());
    std::abort();
  }
}

std::string repr_of(py::handle o) { return py::repr(o).cast<std::string>(); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Python's own allocator hides its objects from AddressSanitizer.
  setenv("PYTHONMALLOC", "malloc", 0);
  new py::scoped_interpreter(false);  // kept for the life of the process
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  py::gil_scoped_acquire gil;
  py::bytes raw(reinterpret_cast<const char*>(data), size);
  py::object value = load(raw);

  // The same input as text, when it is UTF-8.
  PyObject* text = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data),
                                        static_cast<Py_ssize_t>(size), "strict");
  if (!text) {
    PyErr_Clear();
  } else {
    py::object as_text = load(py::reinterpret_steal<py::object>(text));
    // A leading BOM is skipped in bytes only.
    bool bom = size >= 3 && data[0] == 0xef && data[1] == 0xbb && data[2] == 0xbf;
    if (!bom) {
      expect(value.is(py::object()) == as_text.is(py::object()), "bytes and str load differently");
      if (value)
        expect(repr_of(value) == repr_of(as_text), "bytes and str load to different values");
    }
  }
  if (!value) return 0;

  py::str written;
  try {
    written = json::dumps(value);
  } catch (py::error_already_set& e) {
    // dumps may stop nesting at a different depth than loads.
    expect(e.matches(PyExc_RecursionError), "dumps of a loaded value failed");
    return 0;
  }
  py::object again = load(written);
  expect(static_cast<bool>(again), "written text does not load");
  expect(repr_of(again) == repr_of(value), "written text loads to another value");
  return 0;
}
