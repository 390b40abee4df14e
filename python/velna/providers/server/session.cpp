// velna.providers.server.session: the authenticated session with the key
// server. Every request leaves with the API key, a fresh request id and the
// application name; unless asked otherwise it also carries Basic
// credentials signed for that one request. The session logs a user in by
// signing the server's time with each active signing key in turn, and logs
// in again when the token has expired.
#include <pybind11/pybind11.h>

#include <iterator>
#include <string>

#include "fast_path.h"
#include "json_text.h"
#include "timestamps.h"
#include "velna/crypto/ec.h"
#include "velna/http/encoding.h"
#include "velna/http/headers.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

constexpr std::string_view kLogger = "velna.providers.server.session";
constexpr const char* kNeedUser = "Need to pass a user if authenticating for the first time.";

// Module objects kept for the life of the process.
PyObject* module = nullptr;
PyObject* base_init = nullptr;     // Session.__init__ of the HTTP layer
PyObject* base_request = nullptr;  // Session.request of the HTTP layer
velna::py::FirstUse uuid_module{"uuid"};
PyObject* default_ecdsa = nullptr;  // crypto.ecdsa.ECDSA as it was at load
velna::py::Member json_member;      // Response.json of the HTTP layer

// clang-format off
#define SESSION_NAMES(X) X(json) X(_decode_kept) X(log) X(crypto) X(ecdsa) X(ECDSA) \
  X(isEnabledFor) X(authenticated) X(authenticate) X(client) X(time_offset) X(token) X(key) \
  X(api_key) X(app_name) X(_get_auth) X(user) X(expires_at) X(uuid4) X(isoformat) X(status_code) \
  X(KeyType) X(AUTH) X(active) X(values) X(keys) X(get) X(id) X(index) X(params) X(data) \
  X(headers) X(auth) X(allow_redirects)
// clang-format on
struct Names {
  SESSION_NAMES(VELNA_PY_NAME_FIELD)
  PyObject* const private_ = velna::py::intern("private");
};
const Names& N() { return velna::py::table<Names>(); }

pyb::object module_attr(PyObject* name) { return velna::py::get(module, name); }

// log writes through the module's logger "log", looked up at each call.
void log(velna::log::Level level, std::string_view text) {
  module_attr(N().log).attr(N().log)(static_cast<int>(level), pyb::str(text.data(), text.size()));
}

bool debugging() {
  return module_attr(N().log)
      .attr(N().isEnabledFor)(static_cast<int>(velna::log::Level::Debug))
      .cast<bool>();
}

[[noreturn]] void refuse(PyObject* type, const std::string& message) {
  log(velna::log::Level::Warning, message);
  velna::py::raise_error(type, message);
}

std::string utf8(pyb::handle text) { return std::string(velna::py::text_utf8(text)); }

// sign is the DER ECDSA signature over |data| by |private_key| with
// crypto.ecdsa.ECDSA, looked up now. Keys of our own sign in the core,
// without the GIL.
pyb::bytes sign(pyb::handle private_key, velna::ByteView data) {
  pyb::object algorithm = module_attr(N().crypto).attr(N().ecdsa).attr(N().ECDSA);
  if (algorithm.ptr() == default_ecdsa && pyb::isinstance<velna::ec::PrivateKey>(private_key)) {
    const auto& key = private_key.cast<const velna::ec::PrivateKey&>();
    // A signature is long work whatever the length of |data|: other threads
    // run meanwhile.
    velna::Bytes signature =
        velna::py::run_without_gil([&] { return key.sign(velna::HashKind::Sha384, data); });
    return velna::py::to_bytes(signature);
  }
  pyb::object signature = private_key.attr("sign")(velna::py::to_bytes(data), algorithm);
  velna::py::bytes_arg(signature, "signature");
  return pyb::reinterpret_borrow<pyb::bytes>(signature);
}

pyb::str base64_text(velna::ByteView data) { return pyb::str(velna::http::base64(data)); }

using velna::py::masked;

// header_text is a header value as the session sends it; CR, LF and NUL
// are refused here, before any request (a login included) is made.
void check_header(const char* name, pyb::handle value) {
  if (!velna::py::is_text(value) && !velna::py::is_bytes(value))
    velna::py::raise_type_error(std::string("Header part (") +
                                utf8(pyb::repr(masked(value, name))) + ") from ('" + name +
                                "', ...) must be of type str or bytes");
  velna::ByteView v = velna::py::bytes_or_text_arg(value, name);
  velna::http::check_field(name, velna::as_chars(v));
}

using velna::py::truthy;

bool later(pyb::handle a, pyb::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

// request_id is str(uuid.uuid4()), with uuid4 looked up now.
pyb::object request_id() { return pyb::str(pyb::handle(uuid_module).attr("uuid4")()); }

// ---------------------------------------------------------------------------
// VelnaSession's operations; |self| is the session.

void init(pyb::object self) {
  pyb::reinterpret_borrow<pyb::object>(base_init)(self);
  for (const char* name : {"user", "api_key", "token", "key", "time_offset", "client"})
    self.attr(name) = pyb::none();
}

void authenticate(pyb::object self, pyb::object client, pyb::object user) {
  if (user.is_none() && self.attr(N().user).is_none()) refuse(PyExc_ValueError, kNeedUser);
  self.attr(N().client) = client;
  pyb::object who = user.is_none() ? pyb::object(self.attr(N().user)) : user;
  pyb::object section = who.attr(N().keys)[module_attr(N().KeyType).attr(N().AUTH)];
  for (pyb::handle key : section.attr(N().values)()) {
    if (!truthy(key.attr(N().active))) continue;
    pyb::object challenge = client.attr(N().get)("time", "auth"_a = false).attr("json")()["time"];
    if (!velna::py::is_text(challenge)) velna::py::raise_type_error("the server time must be text");
    pyb::object offset = velna::py::time::utcnow() - velna::py::time::to_datetime(challenge);
    pyb::bytes signature =
        sign(key.attr(N().private_), velna::as_bytes(velna::py::text_utf8(challenge)));
    pyb::dict params;
    params["userId"] = pyb::str(who.attr(N().id));
    params["authKeyIndex"] = pyb::str(key.attr(N().index));
    params["challenge"] = challenge;
    params["verification"] = base64_text(velna::py::view_of(signature));
    pyb::object answer =
        client.attr(N().get)("login", "auth"_a = false, "params"_a = params).attr("json")();
    if (PySequence_Contains(answer.ptr(), pyb::str("token").ptr()) != 1) {
      if (PyErr_Occurred()) throw pyb::error_already_set();
      continue;
    }
    // Everything is read before anything is stored: an answer whose expiry
    // does not parse leaves the earlier login as it was.
    pyb::object token = answer["token"];
    pyb::object expires_at = velna::py::time::to_datetime(answer["expiration"]);
    self.attr(N().token) = token;
    self.attr(N().expires_at) = expires_at;
    self.attr(N().user) = who;
    self.attr(N().time_offset) = offset;
    self.attr(N().key) = key;
    return;
  }
  refuse(PyExc_RuntimeError, "Unable to authenticate " + utf8(pyb::str(who)));
}

// authenticated: logged in with a token that has not expired, neither by
// this machine's clock nor by the server's as the login measured it.
bool authenticated(pyb::object self) {
  if (self.attr(N().user).is_none() || !truthy(self.attr(N().token))) return false;
  pyb::object expires_at = self.attr(N().expires_at);
  pyb::object now = velna::py::time::utcnow();
  if (!later(expires_at, now)) return false;
  pyb::object offset = self.attr(N().time_offset);
  return offset.is_none() || later(expires_at, now - offset);
}

void initialize(pyb::object self, pyb::object api_key, pyb::object server_url,
                pyb::object app_name) {
  self.attr(N().api_key) = api_key;
  self.attr(N().app_name) = app_name;
  try {
    pyb::module_::import("urllib.parse").attr("urlparse")(server_url);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    refuse(PyExc_ValueError, "server_url is not a valid url.");
  }
}

void logout(pyb::object self) {
  for (const char* name : {"user", "token", "key", "time_offset"}) self.attr(name) = pyb::none();
}

pyb::tuple get_auth(pyb::object self, pyb::object req_id) {
  if (!truthy(self.attr(N().authenticated)())) self.attr(N().authenticate)(self.attr(N().client));
  pyb::object estimated = velna::py::time::utcnow() - self.attr(N().time_offset);
  std::string time_text = utf8(estimated.attr(N().isoformat)());
  const velna::http::RequestCredentials c =
      velna::http::request_credentials(utf8(self.attr(N().token)), time_text, utf8(req_id));
  pyb::bytes signature =
      sign(self.attr(N().key).attr(N().private_), velna::as_bytes(c.signed_text));
  std::string password = velna::http::base64(velna::py::view_of(signature));
  return pyb::make_tuple(pyb::bytes(c.user), pyb::bytes(password));
}

// base_send is the HTTP layer's request with |kwargs|. When every keyword is
// one of its parameters, they go by position (in the order of the
// parameters), which spares matching them by name.
pyb::object base_send(pyb::handle self, pyb::handle method, pyb::handle url,
                      const pyb::dict& kwargs) {
  const Names& n = N();
  PyObject* const names[] = {n.params, n.data, n.headers, n.json, n.auth, n.allow_redirects};
  PyObject* values[] = {Py_None, Py_None, Py_None, Py_None, Py_None, Py_False};
  std::size_t found = 0;
  for (std::size_t i = 0; i < std::size(names); ++i) {
    PyObject* v = PyDict_GetItemWithError(kwargs.ptr(), names[i]);
    if (!v && PyErr_Occurred()) throw pyb::error_already_set();
    if (v) values[i] = v, ++found;
  }
  pyb::handle base(base_request);
  if (found != kwargs.size()) return base(self, method, url, **kwargs);
  return base(self, method, url, pyb::handle(values[0]), pyb::handle(values[1]),
              pyb::handle(values[2]), pyb::handle(values[3]), pyb::handle(values[4]),
              pyb::handle(values[5]));
}

pyb::object request(pyb::object self, pyb::object method, pyb::object url, pyb::kwargs kwargs) {
  if (kwargs.contains("headers"))
    velna::py::raise_type_error("request() got multiple values for keyword argument 'headers'");
  pyb::object auth = pyb::bool_(true);
  if (kwargs.contains("auth")) auth = kwargs.attr("pop")("auth");
  pyb::object req_id = request_id();

  pyb::object api_key = self.attr(N().api_key);
  pyb::object app_name = self.attr(N().app_name);
  pyb::dict headers;
  if (!api_key.is_none()) {
    check_header("X-Velna-Api-Key", api_key);
    headers["X-Velna-Api-Key"] = api_key;
  }
  headers["X-Request-Id"] = req_id;
  if (!app_name.is_none() && truthy(app_name)) {
    check_header("X-Velna-App-Name", app_name);
    headers["X-Velna-App-Name"] = app_name;
  }

  pyb::object credentials = pyb::none();
  if (truthy(auth)) credentials = self.attr(N()._get_auth)(req_id);

  auto shown = [&](const char* name) -> std::string {
    return kwargs.contains(name) ? utf8(pyb::str(masked(kwargs[name]))) : "None";
  };
  // The request's line is only made when it would be written.
  const bool debug = debugging();
  if (debug)
    log(velna::log::Level::Debug, utf8(pyb::str(method).attr("upper")()) + " " +
                                      utf8(pyb::str(masked(url))) + " " +
                                      utf8(pyb::str(masked(headers))) + " " + shown("params") +
                                      " " + shown("json") + " " + shown("data"));

  kwargs["headers"] = headers;
  kwargs["auth"] = credentials;
  pyb::object response = base_send(self, method, url, kwargs);
  // A 200 answer is decoded whatever the log level: one without a JSON body
  // fails here. The answer's line is only written out for debugging.
  pyb::object status = response.attr(N().status_code);
  const bool ok = PyLong_Check(status.ptr()) && PyLong_AsLong(status.ptr()) == 200;
  // While the answer's json is the HTTP layer's own, the decoded body is
  // kept for the caller's json() instead of being decoded twice.
  pyb::object decoded;
  if (ok) {
    if (json_member.method_of(response)) {
      // A reader armed for this request's query may decode the body; the
      // answer's line shows the body as decoded in general, so not when
      // debugging.
      pyb::object kept = velna::py::get(response, N()._decode_kept);
      if (!debug && kwargs.contains("params"))
        velna::py::json::claim_reader(pyb::object(kwargs["params"]).ptr());
      try {
        decoded = velna::py::call0(kept);
      } catch (...) {
        velna::py::json::release_claim();
        throw;
      }
      velna::py::json::release_claim();
    } else {
      decoded = response.attr("json")();
    }
  }
  if (debug) {
    std::string line = utf8(pyb::str(response));
    if (ok) line += " " + utf8(pyb::str(masked(decoded)));
    log(velna::log::Level::Debug, line);
  }
  return response;
}

// method puts |fn| into the namespace |ns| of a class derived from |base|,
// as the method called |name|; it replaces what the base offers under that
// name. The function of __init__ goes by another name, so that pybind11
// does not take it for the constructor of a C++ value: the base's own
// constructor makes that.
template <typename Fn, typename... Extra>
void method(pyb::dict& ns, pyb::handle base, const char* name, Fn&& fn, const char* doc,
            Extra&&... extra) {
  const char* own = std::string_view(name) == "__init__" ? "init_session" : name;
  ns[name] = pyb::cpp_function(std::forward<Fn>(fn), pyb::name(own), pyb::is_method(base), doc,
                               std::forward<Extra>(extra)...);
}

}  // namespace

PYBIND11_MODULE(session, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The authenticated session with the key server.";
  module = m.ptr();

  auto crypto = pyb::module_::import("velna.crypto");
  m.attr(N().KeyType) = pyb::module_::import("velna.crypto.keys").attr(N().KeyType);
  m.attr(N().crypto) = crypto;
  default_ecdsa = velna::py::keep(crypto.attr(N().ecdsa).attr(N().ECDSA));
  velna::py::bind_lazily(m, "log", "logging", "getLogger", kLogger.data());

  auto http = pyb::module_::import("velna.providers.server.http");
  pyb::object base = http.attr("Session");
  base_init = velna::py::keep(base.attr("__init__"));
  base_request = velna::py::keep(base.attr("request"));
  json_member.name = N().json;
  json_member.installed = velna::py::class_resolved(http.attr("Response"), json_member.name);

  pyb::dict ns;
  ns["__module__"] = "velna.providers.server.session";
  ns["__doc__"] =
      "The HTTP session through which every request to the key server passes: it adds the API "
      "key, a request id, the application name and per-request credentials.";
  method(ns, base, "__init__", &init,
         "Makes a session that is not initialised and has nobody logged in.");
  method(ns, base, "authenticate", &authenticate, "Logs a user in with a signed challenge.",
         "client"_a, "user"_a = pyb::none());
  method(ns, base, "authenticated", &authenticated,
         "Whether a user is logged in with a live token.");
  method(ns, base, "initialize", &initialize, "Sets the API key and the application name.",
         "api_key"_a, "server_url"_a = pyb::none(), "app_name"_a = pyb::none());
  method(ns, base, "logout", &logout, "Forgets the logged-in user and the token.");
  method(ns, base, "request", &request,
         "Sends one request with the session's headers and credentials.", "method"_a, "url"_a);
  // Callers that hand the session a body reader check that requests still go
  // through this method.
  velna::py::register_native("velna.providers.server.session.VelnaSession.request", ns["request"]);
  method(ns, base, "_get_auth", &get_auth, "The Basic credentials for one request.", "req_id"_a);
  pyb::object cls =
      pyb::module_::import("builtins").attr("type")("VelnaSession", pyb::make_tuple(base), ns);

  m.attr("VelnaSession") = cls;
  m.attr("session") = cls();
}
