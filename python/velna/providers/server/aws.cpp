// velna.providers.server.aws: object storage transfer. get downloads an
// object, whole or one byte range, and put uploads bytes, each as one plain
// HTTP request to the full address the caller gives: no session, no API key,
// no credentials. Failed answers are retried with the REST client's own
// retry test and status table, taken from velna.providers.server.client when
// this module is loaded.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "fast_path.h"
#include "http_response.h"
#include "py_compat.h"
#include "velna/http/retry.h"
#include "velna/http/storage.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
namespace storage = velna::http::storage;
using namespace pyb::literals;

PyObject* module_ref = nullptr;  // this module, kept for the life of the process

// ---- answers and request errors --------------------------------------------

// The HTTP layer's request errors, read from it once when this module
// loads (make_objects).
vp::http::RequestErrors errors;

// make_response is the HTTP layer's Response for |answer|, so that callers
// read one class of answer whichever module made the request.
pyb::object make_response(storage::Answer& answer, pyb::object content) {
  velna::py::http::Answer a;
  a.status = answer.status;
  a.reason = std::move(answer.reason);
  a.url = std::move(answer.url);
  a.headers = answer.headers;
  a.content = std::move(content);
  a.request = pyb::none();
  return velna::py::http::make_response(std::move(a));
}

void make_objects(pyb::module_& m) {
  // The request errors are those of the HTTP layer, so that one except
  // clause serves the REST client and object storage alike.
  pyb::module_ http = vp::import_module("velna.providers.server.http");
  errors = vp::http::RequestErrors::of(http);
  m.attr("Response") = http.attr("Response");
}
PyObject* retry_test = nullptr;  // the client's _retry_on_exception, as bound at load

// _make_request as this module defines it: while the module attribute still
// holds it, get and put call it without going through Python.
constexpr const char* kMakeRequestKey = "velna.providers.server.aws._make_request";
vp::Own own_make_request(kMakeRequestKey);
struct Names {
  PyObject* const make_request = vp::intern("_make_request");
};
const Names& N() { return vp::table<Names>(); }

pyb::object module_attr(const char* name) { return pyb::handle(module_ref).attr(name); }

// seconds_value reads a time-out module value (seconds, a positive number).
std::chrono::milliseconds seconds_value(const char* name) {
  pyb::object v = module_attr(name);
  double seconds = PyFloat_AsDouble(v.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) throw pyb::error_already_set();
  auto timeout = velna::http::timeout_from_seconds(seconds);
  if (!timeout) vp::raise_value_error(std::string(name) + " must be a positive number of seconds");
  return *timeout;
}

// header_text is a header name or value as text: str as it is, bytes as
// Latin-1; anything else is refused.
std::string header_text(pyb::handle o, const char* what) {
  if (vp::is_text(o)) return std::string(vp::text_utf8(o));
  if (vp::is_bytes(o)) return std::string(velna::as_chars(vp::view_of(o)));
  vp::raise_type_error(std::string("Header ") + what + " must be str or bytes, not " +
                       Py_TYPE(o.ptr())->tp_name);
}

// Body holds the buffer of a bytes-like body for as long as the transfer
// runs (a bytearray cannot be resized meanwhile).
class Body {
 public:
  explicit Body(pyb::handle data) {
    if (data.is_none()) return;
    if (vp::is_text(data) || PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      vp::raise_type_error(std::string("data must be bytes-like or None, not ") +
                           Py_TYPE(data.ptr())->tp_name);
    }
    held_ = true;
  }
  ~Body() {
    if (held_) PyBuffer_Release(&view_);
  }
  Body(const Body&) = delete;
  Body& operator=(const Body&) = delete;

  bool present() const { return held_; }
  velna::ByteView view() const {
    if (!held_) return {};
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// attempt makes one request and checks its answer.
pyb::object attempt(pyb::object method, pyb::object url, pyb::object data, pyb::object headers) {
  if (!vp::is_text(method)) vp::raise_type_error("method must be str");
  if (!vp::is_text(url)) vp::raise_type_error("url must be str");
  storage::Request request;
  request.method = std::string(vp::text_utf8(method));
  request.url = std::string(vp::text_utf8(url));
  std::optional<std::string> range;
  if (!headers.is_none()) {
    pyb::object items = headers.attr("items")();
    for (pyb::handle item : items) {
      auto pair = pyb::reinterpret_borrow<pyb::tuple>(item);
      std::string name = header_text(pair[0], "names");
      std::string value = header_text(pair[1], "values");
      if (velna::http::iequals(name, "Range")) range = value;
      request.headers.add(std::move(name), std::move(value));
    }
  }
  Body body(data);
  request.body = body.view();
  request.has_body = body.present();
  request.timeouts.connect = seconds_value("CONNECT_TIMEOUT");
  request.timeouts.stall = seconds_value("STALL_TIMEOUT");
  request.timeouts.total = seconds_value("TOTAL_TIMEOUT");

  vp::http::BodyBuffer content;
  storage::Answer answer = vp::run_without_gil([&] {
    return storage::send(
        request, [&content](std::size_t n, bool whole) { return content.resize(n, whole); });
  });
  pyb::object response = make_response(answer, content.take());

  // Statuses that report a passing condition raise the table's bare class.
  pyb::object table = module_attr("_retry_exceptions");
  pyb::int_ status(answer.status);
  PyObject* cls =
      PyDict_Check(table.ptr()) ? PyDict_GetItemWithError(table.ptr(), status.ptr()) : nullptr;
  if (!cls && PyErr_Occurred()) throw pyb::error_already_set();
  if (!cls && !PyDict_Check(table.ptr()) && table.contains(status)) cls = table[status].ptr();
  if (cls) {
    vp::raise_error(cls);
  }
  response.attr("raise_for_status")();

  // A ranged answer must stand for exactly the range asked; these checks run
  // whatever the interpreter's optimisation flags.
  if (range) {
    if (auto asked = storage::parse_range_header(*range))
      storage::check_ranged_answer(*asked, answer.status, answer.headers, answer.body_size);
    else
      storage::check_length(answer.headers, answer.body_size);
  }
  return response;
}

// make_request runs attempts under the retry policy: the client's retry
// test decides on each failure; the waits grow 2, 4, 8 s, then 10 s, and
// after the tenth attempt the failure passes on unchanged.
pyb::object make_request(pyb::object method, pyb::object url, pyb::object data,
                         pyb::object headers) {
  return velna::http::with_retry(
      velna::http::RetryPolicy{},
      [&] {
        // Every failure leaves as its Python error, for the retry test.
        try {
          return attempt(method, url, data, headers);
        } catch (...) {
          errors.raise_current();
        }
      },
      [](std::exception_ptr failure) {
        // The retry test judges the Python error the caller would see.
        try {
          std::rethrow_exception(failure);
        } catch (pyb::error_already_set& e) {
          return vp::truthy(vp::call1(retry_test, e.value()));
        }
      },
      [](std::chrono::milliseconds wait) {
        vp::import_module("time").attr("sleep")(static_cast<double>(wait.count()) / 1000.0);
      });
}

// get_request and put_request call the module's _make_request as it is now:
// get with the keyword headers, put with the keyword data.
pyb::object get_request(pyb::object url, pyb::object headers) {
  return vp::late_bound(
      module_ref, N().make_request, own_make_request,
      [&] { return make_request(pyb::str("get"), url, pyb::none(), headers); },
      [&](pyb::object fn) { return fn("get", url, "headers"_a = headers); });
}

pyb::object put_request(pyb::object url, pyb::object data) {
  return vp::late_bound(
      module_ref, N().make_request, own_make_request,
      [&] { return make_request(pyb::str("put"), url, data, pyb::none()); },
      [&](pyb::object fn) { return fn("put", url, "data"_a = data); });
}

bool compare(pyb::handle a, pyb::handle b, int op) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

std::uint64_t offset(pyb::handle o) {
  pyb::object i = vp::steal(PyNumber_Index(o.ptr()));
  unsigned long long v = PyLong_AsUnsignedLongLong(i.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw pyb::error_already_set();
  return v;
}

pyb::object get(pyb::object path, pyb::object start, pyb::object end) {
  pyb::object headers = pyb::none();
  if (vp::truthy(start) || vp::truthy(end)) {
    // end > start >= 0, checked always: a range that is not one is never
    // sent. Comparing a number with None is the runtime's TypeError.
    if (!compare(end, start, Py_GT) || !compare(start, pyb::int_(0), Py_GE)) {
      vp::raise_error(PyExc_AssertionError);
    }
    storage::ByteRange range{offset(start), offset(end)};
    pyb::dict h;
    h["Range"] = storage::range_header(range);
    headers = h;
  }
  module_attr("log").attr("debug")("GETing data from %s, headers: %s", vp::masked(path),
                                   vp::masked(headers));
  return get_request(path, headers);
}

pyb::object put(pyb::object path, pyb::object data) {
  pyb::str text = pyb::str("PUTing data to {}").attr("format")(vp::masked(path));
  module_attr("log").attr("debug")(text);
  return put_request(path, data);
}

}  // namespace

PYBIND11_MODULE(aws, m) {
  vp::ModuleSetup setup;
  m.doc() =
      "Object storage transfer: GET (whole or one byte range) and PUT at full addresses.\n\n"
      "Connecting gives up after CONNECT_TIMEOUT seconds (10), a transfer that moves less than "
      "a byte a second for STALL_TIMEOUT seconds (30) is abandoned, and so is one that lasts "
      "longer than TOTAL_TIMEOUT seconds (3600) in all; each raises the HTTP layer's Timeout, "
      "and each is looked up at every transfer. A body is exactly the bytes received: an "
      "answer whose Content-Length is no length, does not match its body or announces more "
      "than this machine's memory holds raises RequestException.";
  vp::bind_lazily(m, "logging", "logging");
  pyb::module_ client = vp::import_module("velna.providers.server.client");
  m.attr("_retry_on_exception") = client.attr("_retry_on_exception");
  m.attr("_retry_exceptions") = client.attr("_retry_exceptions");
  vp::bind_lazily(m, "log", "logging", "getLogger", "velna.providers.server.aws");
  // Connecting gives up after CONNECT_TIMEOUT seconds; a transfer that moves
  // less than a byte per second for STALL_TIMEOUT seconds is abandoned, and
  // so is one that lasts longer than TOTAL_TIMEOUT seconds in all. None is
  // retried.
  m.attr("CONNECT_TIMEOUT") = std::chrono::duration<double>(velna::http::kConnectTimeout).count();
  m.attr("STALL_TIMEOUT") = std::chrono::duration<double>(velna::http::kStallTimeout).count();
  m.attr("TOTAL_TIMEOUT") = std::chrono::duration<double>(storage::kTotalTimeout).count();

  retry_test = vp::keep(m.attr("_retry_on_exception"));
  make_objects(m);
  module_ref = vp::keep(m);

  m.def(
      "_make_request", &make_request,
      "Makes one HTTP request (method 'get' or 'put', sent in upper case) to the full address url, "
      "with the body data and the mapping headers, retried while the server reports a passing "
      "condition; returns the response.",
      "method"_a, "url"_a, "data"_a = pyb::none(), "headers"_a = pyb::none());
  vp::register_native(kMakeRequestKey, m.attr("_make_request"));
  m.def("get", &get,
        "Downloads the object at the full address path, or only its bytes start to end (both "
        "included; up to the object's end when it ends before); returns the response.",
        "path"_a, "start"_a = pyb::none(), "end"_a = pyb::none());
  m.def("put", &put,
        "Uploads data (bytes-like, or None for an empty body) to the full address path; "
        "returns the response.",
        "path"_a, "data"_a = pyb::none());
}
