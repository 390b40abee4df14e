// Test-only module: the JSON text codec and the time stamp conversions of
// the binding support library, callable from pytest.
#include <pybind11/pybind11.h>

#include "json_text.h"
#include "timestamps.h"

namespace py = pybind11;

PYBIND11_MODULE(_velna_probe, m) {
  m.def("json_dumps", [](py::object value) { return velna::py::json::dumps(value); });
  m.def("json_loads", [](py::object text) { return velna::py::json::loads(text); });
  m.def("utcnow", [] { return velna::py::time::utcnow(); });
  m.def("to_datetime", [](py::object value) { return velna::py::time::to_datetime(value); });
  m.attr("JSONDecodeError") = py::reinterpret_borrow<py::object>(velna::py::json::decode_error());
  m.attr("ParserError") = py::reinterpret_borrow<py::object>(velna::py::time::parser_error());
}
