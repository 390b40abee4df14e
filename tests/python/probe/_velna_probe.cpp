// Test-only module: the JSON text codec, the time stamp conversions and the
// objects kept on first use of the binding support library, callable from
// pytest.
#include <pybind11/pybind11.h>

#include "json_text.h"
#include "schema.h"
#include "timestamps.h"

namespace py = pybind11;

PYBIND11_MODULE(_velna_probe, m) {
  m.def("json_dumps", [](py::object value) { return velna::py::json::dumps(value); });
  m.def("json_loads", [](py::object text) { return velna::py::json::loads(text); });
  m.def("utcnow", [] { return velna::py::time::utcnow(); });
  m.def("to_datetime", [](py::object value) { return velna::py::time::to_datetime(value); });
  // make_schema(name, fields, pre_load, post_load, namespace): fields are
  // (name, kind, load_from, allow_none, required) tuples, hooks
  // (method, pass_many) pairs naming functions of |namespace|.
  m.def("make_schema", [](std::string name, py::list fields, py::list pre_load, py::list post_load,
                          py::dict ns) {
    namespace vs = velna::py::schema;
    static const std::pair<const char*, vs::Kind> kinds[] = {
        {"Raw", vs::Kind::Raw},   {"Int", vs::Kind::Int},           {"Str", vs::Kind::Str},
        {"Bool", vs::Kind::Bool}, {"DateTime", vs::Kind::DateTime}, {"UUID", vs::Kind::Uuid},
        {"Dict", vs::Kind::Dict}};
    vs::Definition definition;
    for (py::handle f : fields) {
      auto t = f.cast<py::tuple>();
      vs::Field field;
      field.name = t[0].cast<std::string>();
      auto kind = t[1].cast<std::string>();
      for (const auto& k : kinds)
        if (kind == k.first) field.kind = k.second;
      field.load_from = t[2].is_none() ? "" : t[2].cast<std::string>();
      field.allow_none = t[3].cast<bool>();
      field.required = t[4].cast<bool>();
      definition.fields.push_back(field);
    }
    for (auto [list, out] :
         {std::pair{pre_load, &definition.pre_load}, std::pair{post_load, &definition.post_load}})
      for (py::handle h : list) {
        auto t = h.cast<py::tuple>();
        out->push_back({t[0].cast<std::string>(), t[1].cast<bool>()});
      }
    return vs::make_class("_velna_probe", name.c_str(), "A schema made by a test.", definition, ns);
  });
  // first_use reads a FirstUse of "value.inner" of the module
  // velna_probe_target, which a test puts in sys.modules.
  m.def("first_use", [] {
    static velna::py::FirstUse target{"velna_probe_target", "value.inner"};
    return py::reinterpret_borrow<py::object>(target);
  });
  m.attr("Schema") = velna::py::schema::base_class();
  m.attr("ValidationError") = velna::py::schema::validation_error();
  m.attr("UnmarshalResult") = velna::py::schema::unmarshal_result();
  m.attr("JSONDecodeError") = py::reinterpret_borrow<py::object>(velna::py::json::decode_error());
  m.attr("ParserError") = py::reinterpret_borrow<py::object>(velna::py::time::parser_error());
}
