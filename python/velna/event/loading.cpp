// velna.event's EventSchema: the schema of the key server's event objects,
// whose load makes Event records. A load of decoded event objects of the
// common shape (every key under its wire name, values of their kinds) takes
// a way of its own; anything else goes the general way, which the pages the
// reader made of JSON text join at finish_load.
#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <string_view>

#include "event.h"
#include "plain_class.h"
#include "uuids.h"
#include "velna/utils.h"
#include "velna_py.h"

namespace velna::event {
namespace {

namespace vp = velna::py;
using namespace pyb::literals;

// make_event is the post-load hook: the module's Event (looked up now) built
// with the loaded mapping as named arguments.
pyb::object make_event(pyb::object /*self*/, pyb::object data) {
  pyb::object cls = pyb::handle(kept.module).attr("Event");
  return vp::steal(PyObject_Call(cls.ptr(), pyb::tuple().ptr(), data.ptr()));
}

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// Identifiers recur across the events of one load (the same container, the
// same users); each text is read once per load. UUIDs are immutable, so
// records may share one.
PyObject* cached_uuid(PyObject* v, PyObject* cache) {
  PyObject* hit = PyDict_GetItemWithError(cache, v);
  if (hit) return new_ref(hit);
  if (PyErr_Occurred() || !PyUnicode_IS_ASCII(v)) return nullptr;
  const auto id = velna::utils::parse_uuid({static_cast<const char*>(PyUnicode_DATA(v)),
                                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))});
  PyObject* made = id ? velna::py::uuid_of(*id) : nullptr;
  if (made && PyDict_SetItem(cache, v, made) < 0) Py_CLEAR(made);
  return made;
}

// fast_value converts one decoded value of |f| (a new reference), or null
// when the general load must judge it. Clears any error it caused.
PyObject* fast_value(const WireField& f, PyObject* v, PyObject* cache) {
  if (v == Py_None) return f.allow_none ? new_ref(v) : nullptr;
  PyObject* r = nullptr;
  switch (f.kind) {
    case vs::Kind::Str:
      return PyUnicode_CheckExact(v) ? new_ref(v) : nullptr;
    case vs::Kind::Int:
      return PyLong_CheckExact(v) ? new_ref(v) : nullptr;
    case vs::Kind::Dict:
      return PyDict_CheckExact(v) ? new_ref(v) : nullptr;
    case vs::Kind::DateTime:
      if (PyUnicode_CheckExact(v) && PyUnicode_IS_ASCII(v))
        r = vs::datetime_from_ascii({static_cast<const char*>(PyUnicode_DATA(v)),
                                     static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))});
      break;
    case vs::Kind::Uuid:
      r = PyUnicode_CheckExact(v) ? cached_uuid(v, cache) : nullptr;
      break;
    default:
      break;
  }
  if (!r) PyErr_Clear();
  return r;
}

// fast_item builds the Event of one event object, or gives up.
PyObject* fast_item(PyObject* item, PyObject* cache) {
  if (!PyDict_CheckExact(item)) return nullptr;
  const Names& n = N();
  std::array<pyb::object, kCount> values;
  for (std::size_t d = 0; d < kCount; ++d) {
    const std::size_t i = kWire[d].attribute;
    // An object that also carries the attribute name would load from it.
    if (n.wire[i] != n.fields[i] && PyDict_GetItemWithError(item, n.fields[i])) return nullptr;
    PyObject* raw = PyDict_GetItemWithError(item, n.wire[i]);
    if (!raw) {
      PyErr_Clear();
      return nullptr;
    }
    values[i] = vp::own(fast_value(kWire[d], raw, cache));
    if (!values[i]) return nullptr;
  }
  std::array<PyObject*, kCount> v{};
  for (std::size_t i = 0; i < kCount; ++i) v[i] = values[i].ptr();
  return new_event(v.data());
}

// fast_load is the list of Events for |data|, or nothing when the general
// load must run.
std::optional<pyb::list> fast_load(pyb::handle self, pyb::handle data, pyb::handle many) {
  if (!PyList_CheckExact(data.ptr()) || !loads_records(self, many)) return std::nullopt;
  const Py_ssize_t n = PyList_GET_SIZE(data.ptr());
  pyb::list out(n);
  pyb::dict cache;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* event = fast_item(PyList_GET_ITEM(data.ptr(), i), cache.ptr());
    if (!event) return std::nullopt;
    PyList_SET_ITEM(out.ptr(), i, event);
  }
  return out;
}

pyb::object load(pyb::object self, pyb::object data, pyb::object many, pyb::object partial) {
  if (auto events = fast_load(self, data, many))
    return vs::unmarshal_result()(*events, pyb::dict());
  return vs::base_class().attr("load")(self, data, "many"_a = many, "partial"_a = partial);
}

// loaded is what the general load holds for |item| (see finish_load) when
// some item of the load failed: the mapping of the loaded values.
pyb::object loaded(pyb::handle item) {
  if (PyTuple_Check(item.ptr())) return vp::borrow(PyTuple_GET_ITEM(item.ptr(), 0));
  pyb::object attrs = vp::instance_dict(item);
  pyb::dict out;
  for (std::size_t d = 0; d < kCount; ++d)
    out[N().declared[d]] = vp::dict_get(attrs, N().fields[kWire[d].attribute]);
  return out;
}

pyb::object make_schema_class() {
  vs::Definition spec;
  for (const WireField& w : kWire) {
    vs::Field f;
    f.name = w.name;
    f.kind = w.kind;
    f.load_from = w.load_from;
    f.allow_none = w.allow_none;
    spec.fields.push_back(std::move(f));
  }
  spec.post_load.push_back({"make_event", false});
  pyb::dict ns;
  ns["make_event"] = vs::instance_method(
      pyb::cpp_function(&make_event, pyb::name("make_event"), "self"_a, "data"_a,
                        "Builds the Event record of one loaded event object."));
  kept.make_event = vp::keep(ns["make_event"]);
  ns["load"] = vs::instance_method(pyb::cpp_function(
      &load, pyb::name("load"), "self"_a, "data"_a, "many"_a = pyb::none(),
      "partial"_a = pyb::none(), "Loads event objects; returns the pair (data, errors)."));
  kept.load = {N().load, vp::keep(ns["load"])};
  return vs::make_class("velna.event", "EventSchema",
                        "Loads the key server's event objects into Event records.", std::move(spec),
                        ns);
}

}  // namespace

bool loads_records(pyb::handle self, pyb::handle many) {
  if (vp::type_of(self).ptr() != kept.schema_class) return false;
  pyb::object m = many.is_none() ? pyb::object(self.attr("many")) : vp::borrow(many.ptr());
  if (PyObject_IsTrue(m.ptr()) != 1 || !self.attr("only").is_none() ||
      PyObject_IsTrue(self.attr("exclude").ptr()) != 0 ||
      PyObject_IsTrue(self.attr("dump_only").ptr()) != 0)
    return false;
  pyb::object cls = pyb::handle(kept.module).attr("Event");
  return cls.ptr() == kept.event_class &&
         vp::class_resolved(vp::borrow(kept.schema_class), N().make_event) == kept.make_event;
}

pyb::object finish_load(pyb::handle schema, pyb::handle items) {
  if (!kept.load.method_of(schema) || !loads_records(schema, pyb::none())) return pyb::object();
  pyb::dict errors;
  pyb::handle incomplete;
  const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.ptr(), i);
    if (!PyTuple_Check(item)) continue;
    if (PyTuple_GET_ITEM(item, 1) != Py_None) {
      errors[pyb::int_(i)] = vp::borrow(PyTuple_GET_ITEM(item, 1));
    } else if (!incomplete) {
      incomplete = item;
    }
  }
  if (!errors.empty()) {
    // The general load hands its error to handle_error, and raises it when
    // strict: only the base's handler, which does nothing, is skipped here.
    if (!vp::Member{N().handle_error, kept.handle_error}.method_of(schema) ||
        vp::truthy(vp::get(schema, N().strict)))
      return pyb::object();
    pyb::list data(n);
    for (Py_ssize_t i = 0; i < n; ++i) data[i] = loaded(PyList_GET_ITEM(items.ptr(), i));
    return vs::unmarshal_result()(data, errors);
  }
  // An item without every attribute fails in the post-load hook, as the
  // record's constructor refuses it.
  if (incomplete) make_event(pyb::none(), vp::borrow(PyTuple_GET_ITEM(incomplete.ptr(), 0)));
  return vs::unmarshal_result()(items, pyb::dict());
}

void bind_EventSchema(pyb::module_& module) {
  module.attr("Schema") = vs::base_class();
  kept.handle_error = vp::class_resolved(vs::base_class(), N().handle_error);
  pyb::object schema = make_schema_class();
  kept.schema_class = vp::keep(schema);
  module.attr("EventSchema") = schema;
}

}  // namespace velna::event
