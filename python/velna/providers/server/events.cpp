// velna.providers.server.events: reading the key server's event log of
// container and key-file actions for the logged-in user, page after page,
// into Event records.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "event_pages.h"
#include "fast_path.h"
#include "json_text.h"
#include "plain_class.h"
#include "velna/http/client.h"
#include "velna/http/limits.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

#define EVENTS_NAMES(X) \
  X(server) X(client) X(get) X(json) X(content) X(session) X(request) X(EventSchema) X(load)
struct Names {
  EVENTS_NAMES(VELNA_PY_NAME_FIELD)
  PyObject* const log = vp::intern("log");
  PyObject* const make_request = vp::intern("_make_request");
  PyObject* const max_pages = vp::intern("MAX_EVENT_PAGES");
  PyObject* const max_bytes = vp::intern("MAX_EVENT_BYTES");
};
const Names& N() { return vp::table<Names>(); }

PyObject* module_ref = nullptr;     // this module, kept for the life of the process
PyObject* client_module = nullptr;  // velna.providers.server.client
PyObject* request_error = nullptr;  // RequestException of the HTTP layer
vp::EventPages* pages = nullptr;    // velna.event's reader of pages

// Our own functions on the way from client.get to the decoded answer.
vp::Own own_get{"velna.providers.server.client.get"};
vp::Own own_make_request{"velna.providers.server.client._make_request"};
vp::Own own_request{"velna.providers.server.session.VelnaSession.request"};

pyb::object module_attr(PyObject* name) { return vp::get(module_ref, name); }

bool contains(const pyb::dict& d, const char* key) { return d.contains(pyb::str(key)); }

// item reads mapping[key], with the mapping's own KeyError when absent.
pyb::object item(pyb::handle mapping, const char* key) {
  return vp::steal(PyObject_GetItem(mapping.ptr(), pyb::str(key).ptr()));
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
    vp::raise_value_error("type can only be one of " + text(pyb::repr(types)));
  if (vp::equal(type, pyb::str("lockbox"))) type = pyb::str("keysFile");

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
      vp::raise_value_error("action can only be one of " + text(pyb::repr(actions)));
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

// reads_pages: |get| is our own client.get, and the request it makes goes
// through our own _make_request and session up to the decoding of the
// answer, so that nothing but this module sees the pages the reader makes.
bool reads_pages(pyb::handle get) {
  if (!pages || !own_get.is(get)) return false;
  if (!own_make_request.is(vp::get(client_module, N().make_request))) return false;
  pyb::object session = vp::get(client_module, N().session);
  PyObject* request = vp::resolved(session, N().request);
  if (!request || !own_request.is(request)) return false;
  pyb::object dict = vp::own(PyObject_GenericGetDict(session.ptr(), nullptr));
  if (!dict) {
    PyErr_Clear();
    return false;
  }
  return !vp::dict_get(dict, N().request);
}

// body_size is the length of the body of |response|, when it holds one as
// bytes (a caller's own client may answer with something else).
std::uint64_t body_size(pyb::handle response) {
  pyb::object content = vp::own(PyObject_GetAttr(response.ptr(), N().content));
  if (!content) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
    PyErr_Clear();
    return 0;
  }
  return vp::is_bytes(content) ? static_cast<std::uint64_t>(PyBytes_GET_SIZE(content.ptr())) : 0;
}

// page_budget is the bound of one call's paging, from the module values
// MAX_EVENT_PAGES and MAX_EVENT_BYTES as they stand.
velna::http::PageBudget page_budget() {
  return {vp::positive_limit(module_attr(N().max_pages), "MAX_EVENT_PAGES"),
          vp::positive_limit(module_attr(N().max_bytes), "MAX_EVENT_BYTES")};
}

// One page as received: where its events stand in the gathered list, and,
// when the reader read them (into what the load makes of them), the body
// they came from.
struct Page {
  Py_ssize_t begin, end;
  pyb::object body;
};

// gather asks for pages until the server reports that none follows. Each
// next page starts at the last event received; a page that does not move
// past its own start would be asked for again and again, so it ends the call,
// and so do more pages, or more bytes of them, than the module's limits.
pyb::list gather(pyb::dict params, std::vector<Page>& received_pages) {
  pyb::list events;
  velna::http::PageBudget budget = page_budget();
  for (;;) {
    pyb::object get = vp::get(vp::get(module_attr(N().server), N().client), N().get);
    pyb::object response;
    {
      vp::json::ArmedReader armed(reads_pages(get) ? pages : nullptr, params.ptr());
      response = get("events", "params"_a = params);
    }
    pyb::object page = vp::call0(vp::get(response, N().json));
    vp::EventPages::Read page_read;
    if (pages) page_read = pages->read_of(page.ptr());
    pyb::object received = item(page, "events");
    const bool read = page_read.events && received.ptr() == page_read.events;
    pyb::object start = params["start"];
    pyb::object last = pyb::none();
    const Py_ssize_t begin = PyList_GET_SIZE(events.ptr());
    bool any = false;
    if (PyList_CheckExact(received.ptr())) {
      // A page's list joins the others in one step.
      const Py_ssize_t n = PyList_GET_SIZE(received.ptr());
      if (PyList_SetSlice(events.ptr(), begin, begin, received.ptr()) < 0)
        throw pyb::error_already_set();
      if (n > 0) last = vp::borrow(PyList_GET_ITEM(received.ptr(), n - 1));
      any = n > 0;
    } else {
      for (pyb::handle event : received) {
        events.append(event);
        last = vp::borrow(event.ptr());
        any = true;
      }
    }
    received_pages.push_back({begin, PyList_GET_SIZE(events.ptr()),
                              read ? vp::get(response, N().content) : pyb::object()});
    const bool more = vp::truthy(item(page, "hasMore"));
    try {
      budget.take(body_size(response), more);
    } catch (const velna::http::RequestFailed& e) {
      vp::raise_error(request_error, std::string("The key server's event log does not end. ") +
                                         e.what() +
                                         "; MAX_EVENT_PAGES and MAX_EVENT_BYTES of "
                                         "velna.providers.server.events set the limits.");
    }
    if (!more) break;
    if (!any)
      vp::raise_error(PyExc_IndexError, "The key server announced more events after event " +
                                            text(start) + " but sent an empty page.");
    pyb::object next = item(read ? page_read.last : last, "eventId");
    if (!advances(next, start))
      vp::raise_error(PyExc_RuntimeError, "The key server's page of events from " + text(start) +
                                              " ends at event " + text(next) +
                                              ", so paging would not advance.");
    params["start"] = next;
  }
  return events;
}

// event_objects is the list of event objects as received: the pages that
// the reader read are decoded again as usual.
pyb::list event_objects(const pyb::list& events, const std::vector<Page>& received_pages) {
  pyb::list out;
  for (const Page& p : received_pages) {
    if (!p.body) {
      for (Py_ssize_t i = p.begin; i < p.end; ++i) out.append(events[i]);
      continue;
    }
    for (pyb::handle event : item(vp::json::loads(p.body), "events")) out.append(event);
  }
  return out;
}

pyb::object get(pyb::kwargs kwargs) {
  pyb::object log = module_attr(N().log);
  log.attr("debug")("Retrieving events: %s", kwargs);
  std::vector<Page> received_pages;
  pyb::list events = gather(query_params(kwargs), received_pages);
  pyb::object schema = module_attr(N().EventSchema)("many"_a = true);
  pyb::object result;
  bool all_read = true, any_read = false;
  for (const Page& p : received_pages) {
    all_read = all_read && (p.body || p.begin == p.end);
    any_read = any_read || p.body;
  }
  if (all_read && any_read) result = pages->load(schema, events);
  if (!result)
    result = vp::call1(vp::get(schema, N().load),
                       any_read ? event_objects(events, received_pages) : events);
  pyb::object errors = result.attr("errors");
  if (vp::truthy(errors)) log.attr("warning")("Schema load errors: %s", errors);
  pyb::object data = result.attr("data");
  log.attr("debug")("Events: %s", data);
  return data;
}

}  // namespace

PYBIND11_MODULE(events, m) {
  vp::ModuleSetup setup;
  m.doc() =
      "Reading the key server's event log.\n\n"
      "get reads page after page while the server announces more, and stops with the HTTP "
      "layer's RequestException once a further page would pass MAX_EVENT_PAGES pages (10000) "
      "or the pages read hold more than MAX_EVENT_BYTES bytes (64 MiB) in all; both are looked "
      "up at each call.";
  vp::bind_lazily(m, "logging", "logging");
  pyb::module_ providers = vp::import_module("velna.providers");
  vp::import_module("velna.providers.server");
  pyb::object server = providers.attr("server");
  m.attr("server") = server;
  client_module = vp::keep(vp::import_module("velna.providers.server.client"));
  request_error =
      vp::keep(vp::import_module("velna.providers.server.http").attr("RequestException"));
  m.attr("MAX_EVENT_PAGES") = pyb::int_(velna::http::kMaxPages);
  m.attr("MAX_EVENT_BYTES") = pyb::int_(velna::http::kMaxPagesBytes);
  pyb::module_ event = vp::import_module("velna.event");
  m.attr("EventSchema") = event.attr("EventSchema");
  pages = static_cast<vp::EventPages*>(
      PyCapsule_GetPointer(pyb::object(event.attr("_pages")).ptr(), vp::EventPages::kCapsule));
  if (!pages) throw pyb::error_already_set();
  pyb::module_ decorators = vp::import_module("velna.decorators");
  m.attr("logged") = decorators.attr("logged");
  m.attr("login_required") = decorators.attr("login_required");
  vp::bind_lazily(m, "log", "logging", "getLogger", "velna.providers.server.event");
  pyb::object log = vp::lazy_binding(m, "log");
  module_ref = vp::keep(m);

  pyb::cpp_function body(
      &get, pyb::name("get"),
      "Returns the logged-in user's events of one type ('container' or 'lockbox'), "
      "optionally only those of one container (container_id), container type "
      "(container_type) or action ('accessed', 'added', 'deleted', 'updated'), from "
      "starting_event_id on; every page the server has is read, up to MAX_EVENT_PAGES pages "
      "and MAX_EVENT_BYTES bytes of them.");
  pyb::object guarded = m.attr("login_required")(server)(body);
  m.attr("get") = m.attr("logged")(log)(guarded);
}
