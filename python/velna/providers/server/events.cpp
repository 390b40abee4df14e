// velna.providers.server.events: reading the key server's event log of
// container and key-file actions for the logged-in user, page after page,
// into Event records.
#include <pybind11/pybind11.h>

#include <string>

#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

PyObject* module_ref = nullptr;  // this module, kept for the life of the process

pyb::object module_attr(const char* name) {
  return pyb::reinterpret_borrow<pyb::object>(module_ref).attr(name);
}

bool contains(const pyb::dict& d, const char* key) { return d.contains(pyb::str(key)); }

bool compare(pyb::handle a, pyb::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

bool truthy(pyb::handle o) {
  int r = PyObject_IsTrue(o.ptr());
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

// item reads mapping[key], with the mapping's own KeyError when absent.
pyb::object item(pyb::handle mapping, const char* key) {
  PyObject* v = PyObject_GetItem(mapping.ptr(), pyb::str(key).ptr());
  if (!v) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(v);
}

[[noreturn]] void raise_runtime_error(const std::string& message) {
  PyErr_SetString(PyExc_RuntimeError, message.c_str());
  throw pyb::error_already_set();
}

std::string text(pyb::handle o) { return pyb::str(o).cast<std::string>(); }

// query_params checks the caller's filters and builds the query of the first
// page: type, start, then containerId, containerType and action when given.
pyb::dict query_params(const pyb::dict& kwargs) {
  pyb::list types;
  types.append("container");
  types.append("lockbox");
  pyb::object type = item(kwargs, "type");
  if (!types.contains(type))
    velna::py::raise_value_error("type can only be one of " + text(pyb::repr(types)));
  if (compare(type, pyb::str("lockbox"), Py_EQ)) type = pyb::str("keysFile");

  pyb::dict params;
  params["type"] = type;
  params["start"] = 0;
  if (contains(kwargs, "container_id")) params["containerId"] = kwargs["container_id"];
  if (contains(kwargs, "container_type")) params["containerType"] = kwargs["container_type"];
  if (contains(kwargs, "action") && !pyb::object(kwargs["action"]).is_none()) {
    pyb::object action = kwargs["action"];
    pyb::list actions;
    for (const char* a : {"accessed", "added", "deleted", "updated"}) actions.append(a);
    if (!actions.contains(action))
      velna::py::raise_value_error("action can only be one of " + text(pyb::repr(actions)));
    params["action"] = action;
  }
  if (contains(kwargs, "starting_event_id")) params["start"] = kwargs["starting_event_id"];
  return params;
}

// advances: |next| lies after |start|. A start that cannot be compared with
// the server's event ids (the caller's starting_event_id is taken as given,
// None included) is no sign of a stall; from the next page on, start is one
// of the server's own ids.
bool advances(pyb::handle next, pyb::handle start) {
  int r = PyObject_RichCompareBool(next.ptr(), start.ptr(), Py_GT);
  if (r < 0 && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    return true;
  }
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

// gather asks for pages until the server reports that none follows. Each
// next page starts at the last event received; a page that does not move
// past its own start would be asked for again and again, so it ends the call.
pyb::list gather(pyb::dict params) {
  pyb::list events;
  for (;;) {
    pyb::object client = module_attr("server").attr("client");
    pyb::object page = client.attr("get")("events", "params"_a = params).attr("json")();
    pyb::object received = item(page, "events");
    pyb::object start = params["start"];
    pyb::object last = pyb::none();
    bool any = false;
    for (pyb::handle event : received) {
      events.append(event);
      last = pyb::reinterpret_borrow<pyb::object>(event);
      any = true;
    }
    if (!truthy(item(page, "hasMore"))) break;
    if (!any)
      raise_runtime_error("The key server announced more events after event " + text(start) +
                          " but sent an empty page.");
    pyb::object next = item(last, "eventId");
    if (!advances(next, start))
      raise_runtime_error("The key server's page of events from " + text(start) +
                          " ends at event " + text(next) + ", so paging would not advance.");
    params["start"] = next;
  }
  return events;
}

pyb::object get(pyb::kwargs kwargs) {
  pyb::object log = module_attr("log");
  log.attr("debug")("Retrieving events: %s", kwargs);
  pyb::list events = gather(query_params(kwargs));
  pyb::object result = module_attr("EventSchema")("many"_a = true).attr("load")(events);
  pyb::object errors = result.attr("errors");
  if (truthy(errors)) log.attr("warning")("Schema load errors: %s", errors);
  pyb::object data = result.attr("data");
  log.attr("debug")("Events: %s", data);
  return data;
}

}  // namespace

PYBIND11_MODULE(events, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "Reading the key server's event log.";
  pyb::module_ logging = pyb::module_::import("logging");
  m.attr("logging") = logging;
  pyb::module_ providers = pyb::module_::import("velna.providers");
  pyb::module_::import("velna.providers.server");
  pyb::object server = providers.attr("server");
  m.attr("server") = server;
  m.attr("EventSchema") = pyb::module_::import("velna.event").attr("EventSchema");
  pyb::module_ decorators = pyb::module_::import("velna.decorators");
  m.attr("logged") = decorators.attr("logged");
  m.attr("login_required") = decorators.attr("login_required");
  pyb::object log = logging.attr("getLogger")("velna.providers.server.event");
  m.attr("log") = log;
  module_ref = pyb::handle(m).inc_ref().ptr();

  pyb::cpp_function body(
      &get, pyb::name("get"),
      "Returns the logged-in user's events of one type ('container' or 'lockbox'), "
      "optionally only those of one container (container_id), container type "
      "(container_type) or action ('accessed', 'added', 'deleted', 'updated'), from "
      "starting_event_id on; every page the server has is read.");
  pyb::object guarded = m.attr("login_required")(server)(body);
  m.attr("get") = m.attr("logged")(log)(guarded);
}
