// The key server's event answers as they are read: the input is the JSON
// text of one page ({"events": [...], "hasMore": ...}), read by the JSON
// reader, and its events are loaded through velna.event's EventSchema, as
// event retrieval does. A load raises nothing but the TypeError of an
// event object that lacks a field the Event record requires (the record is
// built from what loaded); what does not fit an event lands in the errors
// of the (data, errors) pair. Every loaded record has a text form.
#include <pybind11/embed.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_util.h"
#include "json_text.h"

namespace py = pybind11;
using namespace pybind11::literals;
using velna::fuzz::expect;

extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

py::object* schema = nullptr;

[[noreturn]] void finding(const char* what, py::error_already_set& e) {
  std::fprintf(stderr, "%s raised %s\n", what, e.what());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("PYTHONMALLOC", "malloc", 0);
  new py::scoped_interpreter(false);  // kept for the life of the process
  py::module_::import("sys").attr("path").attr("insert")(0, VELNA_FUZZ_PYTHON_ROOT);
  schema = new py::object(py::module_::import("velna.event").attr("EventSchema")("many"_a = true));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  py::gil_scoped_acquire gil;
  py::object page;
  try {
    page = velna::py::json::loads(py::bytes(reinterpret_cast<const char*>(data), size));
  } catch (py::error_already_set&) {
    return 0;  // not JSON: the JSON reader's own target covers its failures
  }
  py::object events = page;
  if (py::isinstance<py::dict>(page)) {
    py::dict d = page;
    if (!d.contains("events")) return 0;
    events = d["events"];
  }
  if (!py::isinstance<py::list>(events)) return 0;
  py::object result;
  try {
    result = schema->attr("load")(events);
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_TypeError)) return 0;
    finding("EventSchema.load", e);
  }
  expect(py::len(result) == 2, "load did not return a pair");
  try {
    for (py::handle record : py::list(result[py::int_(0)])) (void)py::repr(record);
    (void)py::repr(result[py::int_(1)]);
  } catch (py::error_already_set& e) {
    finding("the text form of a loaded event", e);
  }
  return 0;
}
