// What the sources of velna.event share: the record's attributes, the
// schema's fields and the objects the module keeps.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

#include "fast_path.h"
#include "schema.h"
#include "velna/schema/events.h"

namespace velna::event {

namespace pyb = pybind11;
namespace vs = velna::py::schema;

namespace ve = velna::schema::events;

// The record's attributes in their order (kFields), and the schema's fields
// in declaration order (kWire).
inline constexpr const auto& kFields = ve::kAttributes;
inline constexpr std::size_t kCount = ve::kCount;
using WireField = ve::EventField;
inline constexpr const auto& kWire = ve::kFields;

// wire_keys is the key of an answer of the server that each attribute is
// read from, in kFields order.
std::array<const char*, kCount> wire_keys();
// declared_names are the attribute names in declaration order.
std::array<const char*, kCount> declared_names();

struct Names {
  const std::array<PyObject*, kCount> fields = velna::py::intern_all(kFields);
  const std::array<PyObject*, kCount> wire = velna::py::intern_all(wire_keys());
  const std::array<PyObject*, kCount> declared = velna::py::intern_all(declared_names());
  VELNA_PY_NAME_FIELD(make_event)
  VELNA_PY_NAME_FIELD(load)
  VELNA_PY_NAME_FIELD(handle_error)
  VELNA_PY_NAME_FIELD(strict)
  VELNA_PY_NAME_FIELD(eventId)
  VELNA_PY_NAME_FIELD(_schema)
};
const Names& N();

// The module's objects, made at load and kept for the process.
struct Module {
  PyObject* module = nullptr;        // velna.event
  PyObject* event_class = nullptr;   // Event as made
  PyObject* schema_class = nullptr;  // EventSchema as made
  PyObject* make_event = nullptr;    // EventSchema.make_event as installed
  PyObject* handle_error = nullptr;  // Schema.handle_error as installed
  velna::py::Member load;            // EventSchema.load
};
extern Module kept;

// new_event is a record of the module's own class with |values| (in kFields
// order) as its attributes; null without an error when it cannot be made.
PyObject* new_event(PyObject* const* values);

// loads_records: a load of |self| (an EventSchema) with |many| would be this
// module's own load of records of the module's own Event class.
bool loads_records(pyb::handle self, pyb::handle many);

// finish_load is the result of EventSchema's own load of |items|, each an
// Event record or a pair (loaded mapping, its errors or None) as the page
// reader made them; a null object when the general load must run (the
// schema reports its errors in a way of its own).
pyb::object finish_load(pyb::handle schema, pyb::handle items);

void bind_Event(pyb::module_& module);
void bind_EventSchema(pyb::module_& module);
// bind_pages offers the reader of pages of events as velna.event._pages.
void bind_pages(pyb::module_& module);

}  // namespace velna::event
