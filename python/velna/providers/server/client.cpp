// velna.providers.server.client: the REST client of the key server. Each
// call becomes one request on the versioned interface, sent through the
// process-wide session; the statuses that report a temporary condition are
// retried with growing waits, and every other error status is raised with
// the request id appended.
#include <pybind11/pybind11.h>

#include <chrono>
#include <string>

#include "fast_path.h"
#include "velna/http/encoding.h"
#include "velna/http/retry.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

constexpr std::string_view kLogger = "velna.providers.server.client";

PyObject* module = nullptr;      // this module, for the values looked up at each call
PyObject* http_error = nullptr;  // HTTPError of the HTTP layer
PyObject* time_module = nullptr;
// The retry test as the module defined it: the retry policy keeps the one it
// was made with, whatever the module attribute is given later.
PyObject* retry_test = nullptr;

pyb::object module_attr(PyObject* name) { return velna::py::get(module, name); }

// _make_request as this module defines it: while the module attribute still
// holds it, the verbs call it without going through Python.
constexpr const char* kMakeRequestKey = "velna.providers.server.client._make_request";
velna::py::Own own_make_request(kMakeRequestKey);
// clang-format off
#define CLIENT_NAMES(X) X(URL) X(API_VERSION) X(urljoin) X(session) X(request) \
  X(_retry_exceptions) X(get) X(status_code) X(raise_for_status) X(log) X(headers) X(args) \
  X(values) X(debug)
// clang-format on
struct Names {
  PyObject* const make_request = velna::py::intern("_make_request");
  CLIENT_NAMES(VELNA_PY_NAME_FIELD)
};
const Names& N() { return velna::py::table<Names>(); }

// address is URL joined with API_VERSION, followed by |path| with a leading
// and a trailing "/".
pyb::object address(pyb::handle path) {
  if (!velna::py::is_text(path)) velna::py::raise_type_error("path must be str");
  const std::string p = velna::http::api_path(velna::py::text_utf8(path));
  // The three names are looked up at every call; the join is made again
  // only when one of them is another object than last time.
  struct Joined {
    pyb::object url, version, join, base;
  };
  static Joined* last = new Joined();  // kept for the life of the process
  pyb::object url = module_attr(N().URL), version = module_attr(N().API_VERSION);
  pyb::object join = module_attr(N().urljoin);
  if (!last->base || !url.is(last->url) || !version.is(last->version) || !join.is(last->join)) {
    pyb::object base = join(url, version);
    *last = {url, version, join, base};
  }
  return last->base + pyb::str(p);
}

pyb::object attempt(pyb::handle method, pyb::handle path, pyb::handle json, pyb::handle data,
                    pyb::handle params, pyb::handle auth) {
  pyb::object url = address(path);
  pyb::object response = module_attr(N().session)
                             .attr(N().request)(method, url, "json"_a = json, "data"_a = data,
                                                "params"_a = params, "auth"_a = auth);
  pyb::object status = response.attr(N().status_code);
  pyb::object retried = module_attr(N()._retry_exceptions).attr(N().get)(status);
  if (!retried.is_none()) {
    velna::py::raise_error(retried);
  }
  try {
    response.attr(N().raise_for_status)();
  } catch (pyb::error_already_set& e) {
    if (!e.matches(http_error)) throw;
    pyb::object error = e.value();
    pyb::object request_id = error.attr(N().request).attr(N().headers)["X-Request-Id"];
    pyb::object message = pyb::tuple(error.attr(N().args))[0];
    pyb::list args;
    args.append(message + pyb::str("  Request ID: ") + request_id);
    error.attr(N().args) = args;
    throw;
  }
  return response;
}

pyb::object make_request(pyb::object method, pyb::object path, pyb::object json, pyb::object data,
                         pyb::object params, pyb::object auth) {
  return velna::http::with_retry(
      velna::http::RetryPolicy{}, [&] { return attempt(method, path, json, data, params, auth); },
      [](std::exception_ptr failure) {
        try {
          std::rethrow_exception(failure);
        } catch (pyb::error_already_set& e) {
          return velna::py::truthy(pyb::handle(retry_test)(e.value()));
        } catch (...) {
          return false;
        }
      },
      [](std::chrono::milliseconds wait) {
        pyb::handle(time_module).attr("sleep")(static_cast<double>(wait.count()) / 1000.0);
      });
}

bool retry_on_exception(pyb::object exception) {
  pyb::object exc_info =
      pyb::make_tuple(pyb::type::handle_of(exception), exception, exception.attr("__traceback__"));
  // The module's logger "log" is looked up now, like every module value.
  module_attr(N().log).attr(N().debug)("Exception making request.", "exc_info"_a = exc_info);
  pyb::tuple classes(module_attr(N()._retry_exceptions).attr(N().values)());
  const int r = PyObject_IsInstance(exception.ptr(), classes.ptr());
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

// verb calls _make_request, looked up now, for one of the verbs; |python|
// makes the call through whatever the name holds.
template <typename Python>
pyb::object verb(const char* method, pyb::handle path, pyb::handle json, pyb::handle data,
                 pyb::handle params, pyb::handle auth, Python&& python) {
  return velna::py::late_bound(
      module, N().make_request, own_make_request,
      [&] {
        return make_request(pyb::str(method), pyb::reinterpret_borrow<pyb::object>(path),
                            pyb::reinterpret_borrow<pyb::object>(json),
                            pyb::reinterpret_borrow<pyb::object>(data),
                            pyb::reinterpret_borrow<pyb::object>(params),
                            pyb::reinterpret_borrow<pyb::object>(auth));
      },
      std::forward<Python>(python));
}

}  // namespace

PYBIND11_MODULE(client, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "REST calls to the key server, with status errors and retries.";
  module = m.ptr();

  auto session = pyb::module_::import("velna.providers.server.session");
  http_error =
      velna::py::keep(pyb::module_::import("velna.providers.server.http").attr("HTTPError"));
  time_module = velna::py::keep(pyb::module_::import("time"));
  velna::py::bind_lazily(m, "urljoin", "urllib.parse", "urljoin");
  m.attr(N().session) = session.attr(N().session);
  m.attr(N().URL) = pyb::none();
  m.attr(N().API_VERSION) = "v1.0";
  velna::py::bind_lazily(m, "log", "logging", "getLogger", kLogger.data());

  // One class for each of the core's temporary statuses.
  pyb::dict retried;
  for (const velna::http::TemporaryStatus& t : velna::http::kTemporaryStatuses) {
    const std::string name = "Http" + std::string(t.name) + "Error";
    retried[pyb::int_(t.status)] =
        velna::py::define_error(m, name.c_str(), std::string(t.text).c_str());
  }
  m.attr(N()._retry_exceptions) = retried;

  m.def("_retry_on_exception", &retry_on_exception,
        "Whether a failed attempt is to be repeated: its error is one of the retried classes.",
        "exception"_a);
  retry_test = velna::py::keep(m.attr("_retry_on_exception"));
  m.def("_make_request", &make_request,
        "Makes one request on the versioned interface, retrying temporary failures.", "method"_a,
        "path"_a, "json"_a = pyb::none(), "data"_a = pyb::none(), "params"_a = pyb::none(),
        "auth"_a = true);
  velna::py::register_native(kMakeRequestKey, m.attr("_make_request"));

  // The verbs look _make_request up at each call.
  m.def(
      "get",
      [](pyb::object path, pyb::object params, pyb::object auth) {
        return verb("get", path, pyb::none(), pyb::none(), params, auth, [&](pyb::object fn) {
          return fn("get", path, "params"_a = params, "auth"_a = auth);
        });
      },
      "Sends a GET request.", "path"_a, "params"_a = pyb::none(), "auth"_a = true);
  velna::py::register_native("velna.providers.server.client.get", m.attr(N().get));
  m.def(
      "post",
      [](pyb::object path, pyb::object json, pyb::object data, pyb::object auth) {
        return verb("post", path, json, data, pyb::none(), auth, [&](pyb::object fn) {
          return fn("post", path, "json"_a = json, "data"_a = data, "auth"_a = auth);
        });
      },
      "Sends a POST request.", "path"_a, "json"_a = pyb::none(), "data"_a = pyb::none(),
      "auth"_a = true);
  m.def(
      "put",
      [](pyb::object path, pyb::object json, pyb::object data, pyb::object auth) {
        return verb("put", path, json, data, pyb::none(), auth, [&](pyb::object fn) {
          return fn("put", path, "json"_a = json, "data"_a = data, "auth"_a = auth);
        });
      },
      "Sends a PUT request.", "path"_a, "json"_a = pyb::none(), "data"_a = pyb::none(),
      "auth"_a = true);
  m.def(
      "delete",
      [](pyb::object path, pyb::object auth) {
        return verb("delete", path, pyb::none(), pyb::none(), pyb::none(), auth,
                    [&](pyb::object fn) { return fn("delete", path, "auth"_a = auth); });
      },
      "Sends a DELETE request.", "path"_a, "auth"_a = true);
}
