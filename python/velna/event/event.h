// What the sources of velna.event share: the record's attributes, the
// schema's fields and the objects the module keeps.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

#include "fast_path.h"
#include "schema.h"

namespace velna::event {

namespace pyb = pybind11;
namespace vs = velna::py::schema;

// The record's attributes, in their order.
inline constexpr std::array<const char*, 11> kFields = {
    "action",
    "id",
    "changes",
    "client_app_name",
    "container_expired_at",
    "container_id",
    "container_modified_at",
    "container_type",
    "date",
    "related_user_id",
    "type",
};
inline constexpr std::size_t kCount = kFields.size();

// The schema's fields in declaration order: attribute, wire key (when it
// differs), kind, whether JSON null is taken, and the attribute's place in
// kFields.
struct WireField {
  const char* name;
  const char* load_from;
  vs::Kind kind;
  bool allow_none;
  std::size_t attribute;
};
inline constexpr WireField kWire[] = {
    {"action", "", vs::Kind::Str, false, 0},
    {"changes", "", vs::Kind::Dict, true, 2},
    {"client_app_name", "clientAppName", vs::Kind::Str, true, 3},
    {"container_expired_at", "containerExpiredAt", vs::Kind::DateTime, true, 4},
    {"container_id", "containerId", vs::Kind::Uuid, true, 5},
    {"container_modified_at", "containerModifiedAt", vs::Kind::DateTime, true, 6},
    {"container_type", "containerType", vs::Kind::Str, true, 7},
    {"date", "", vs::Kind::DateTime, false, 8},
    {"id", "eventId", vs::Kind::Int, false, 1},
    {"related_user_id", "relatedUserId", vs::Kind::Uuid, true, 9},
    {"type", "", vs::Kind::Str, false, 10},
};

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
