// velna.providers.server.http: the HTTP layer of the server provider. A
// Session keeps its connections open between requests; Response, the
// case-insensitive header mapping and the request errors are what callers
// read of an answer. The transfers run in the core's libcurl client with
// the GIL released.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "http_response.h"
#include "json_text.h"
#include "velna/http/client.h"
#include "velna/http/encoding.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace http = velna::http;
using namespace pyb::literals;

// Error classes, made once when the module loads and kept for the process.
velna::py::http::RequestErrors errors;
PyObject* module_ref = nullptr;  // this module, for the values a new session starts with

std::string utf8(pyb::handle text) { return std::string(velna::py::text_utf8(text)); }

// text_of is the UTF-8 form of a str, a byte string as it is, and the str()
// of anything else.
std::string text_of(pyb::handle o) {
  if (velna::py::is_bytes(o)) return std::string(velna::as_chars(velna::py::view_of(o)));
  if (velna::py::is_text(o)) return utf8(o);
  return utf8(pyb::str(o));
}

// ---------------------------------------------------------------------------
// CaseInsensitiveDict: a mutable mapping whose str keys compare without
// regard to case; iteration gives the keys as they were last set. The
// fields are named by the UTF-8 of their keys.

struct Item {
  pyb::object key;
  pyb::object value;
};

struct HeaderDict {
  http::FieldList<Item> fields;

  static std::string name_of(pyb::handle key) {
    if (!velna::py::is_text(key)) velna::py::raise_type_error("header names must be str");
    return utf8(key);
  }
  void set(pyb::object key, pyb::object value) {
    std::string name = name_of(key);  // before |key| moves into the field
    fields.put(name, {std::move(key), std::move(value)});
  }
  // append adds a field known not to be there yet.
  void append(std::string_view key, std::string_view value) {
    fields.append(std::string(key),
                  {pyb::str(key.data(), key.size()), pyb::str(value.data(), value.size())});
  }
  pyb::object get(pyb::handle key) {
    auto* f = fields.find(name_of(key));
    if (!f) throw pyb::key_error(pyb::repr(key).cast<std::string>());
    return f->value.value;
  }
  void update(pyb::handle other);
  pyb::dict lower_dict() const {
    pyb::dict d;
    for (const auto& f : fields) d[pyb::str(http::lower_ascii(f.name))] = f.value.value;
    return d;
  }
};

void HeaderDict::update(pyb::handle other) {
  if (other.is_none()) return;
  if (pyb::isinstance<HeaderDict>(other)) {
    for (const auto& f : other.cast<const HeaderDict&>().fields) fields.put(f.name, f.value);
    return;
  }
  if (PyDict_Check(other.ptr())) {
    PyObject *key, *value;
    Py_ssize_t at = 0;
    while (PyDict_Next(other.ptr(), &at, &key, &value))
      set(pyb::reinterpret_borrow<pyb::object>(key), pyb::reinterpret_borrow<pyb::object>(value));
    return;
  }
  pyb::object items = pyb::hasattr(other, "items") ? other.attr("items")()
                                                   : pyb::reinterpret_borrow<pyb::object>(other);
  for (pyb::handle pair : items) {
    pyb::tuple kv = pyb::tuple(pyb::reinterpret_borrow<pyb::object>(pair));
    if (kv.size() != 2) velna::py::raise_value_error("header items must be pairs");
    set(kv[0], kv[1]);
  }
}

// ---------------------------------------------------------------------------
// PreparedRequest and Response

struct PreparedRequest {
  pyb::object method, url, headers, body;
};

struct Response {
  pyb::object status_code, reason, url, request, encoding;
  pyb::object content;
  // The body as the session decoded it, handed to the next json() call (the
  // session only reads it); a new content or encoding drops it.
  pyb::object kept_json;
  // The header fields as received; the mapping is made on first use.
  http::Headers received;
  pyb::object header_dict;

  pyb::object& headers() {
    if (!header_dict) {
      HeaderDict d;
      for (const http::Field& f : received) d.append(f.name, f.value);
      received.clear();
      header_dict = pyb::cast(std::move(d));
    }
    return header_dict;
  }

  long status() const { return status_code.cast<long>(); }
};

// encoding_of is the charset that the Content-Type header names, or UTF-8.
std::string encoding_of(Response& r) {
  if (!r.encoding.is_none()) return utf8(pyb::str(r.encoding));
  pyb::object value = r.headers().attr("get")("content-type");
  if (value.is_none()) return "utf-8";
  return http::content_type_charset(text_of(value)).value_or("utf-8");
}

pyb::str response_text(Response& r) {
  std::string enc = encoding_of(r);
  velna::ByteView body = velna::py::bytes_arg(r.content, "content");
  PyObject* s = PyUnicode_Decode(reinterpret_cast<const char*>(body.data()),
                                 static_cast<Py_ssize_t>(body.size()), enc.c_str(), "replace");
  if (!s && PyErr_ExceptionMatches(PyExc_LookupError)) {
    PyErr_Clear();
    s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(body.data()),
                             static_cast<Py_ssize_t>(body.size()), "replace");
  }
  if (!s) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::str>(s);
}

pyb::object response_json(Response& r) {
  if (r.kept_json) return std::move(r.kept_json);
  if (r.encoding.is_none()) return velna::py::json::loads(r.content);
  return velna::py::json::loads(response_text(r));
}

// decode_kept is json() for the session, whose result the next json() call
// receives instead of decoding the body again.
pyb::object decode_kept(Response& r) {
  // A caller that armed a reader for this kind of answer receives what the
  // reader makes of the body, when the body is of its kind.
  velna::py::json::BodyReader* reader = velna::py::json::claimed_reader();
  if (reader && !r.kept_json && r.encoding.is_none() && PyBytes_CheckExact(r.content.ptr())) {
    pyb::object read = velna::py::own(reader->read(r.content.ptr()));
    if (read) {
      velna::py::json::arm_reader(nullptr, nullptr);
      r.kept_json = read;
      return read;
    }
    if (PyErr_Occurred()) throw pyb::error_already_set();
  }
  pyb::object decoded = response_json(r);
  r.kept_json = decoded;
  return decoded;
}

// status_message is the text of the status error for |r|, or nothing when
// its status is not an error. The address is named with its credentials
// masked.
std::optional<std::string> status_message(Response& r) {
  return http::status_error(r.status(), text_of(r.reason), text_of(r.url));
}

void raise_for_status(pyb::object self) {
  auto& r = self.cast<Response&>();
  std::optional<std::string> message = status_message(r);
  if (!message) return;
  velna::py::raise_error(errors.http, *message, {{"response", self}, {"request", r.request}});
}

// ---------------------------------------------------------------------------
// Session

struct Session {
  std::shared_ptr<http::Client> client;
  pyb::object headers;  // CaseInsensitiveDict of headers sent with every request
};

// add_query_items appends the pairs of |params| as the query encoding takes
// them: a mapping's items (or a sequence of pairs) in order, a list value
// as one pair per element, None values left out.
void add_query_items(http::QueryItems& items, pyb::handle params) {
  pyb::object pairs = pyb::hasattr(params, "items") ? params.attr("items")()
                                                    : pyb::reinterpret_borrow<pyb::object>(params);
  for (pyb::handle pair : pairs) {
    pyb::tuple kv = pyb::tuple(pyb::reinterpret_borrow<pyb::object>(pair));
    if (kv.size() != 2) velna::py::raise_value_error("query parameters must be pairs");
    pyb::handle values = kv[1];
    std::string key = text_of(kv[0]);
    if (velna::py::is_text(values) || velna::py::is_bytes(values) ||
        !pyb::hasattr(values, "__iter__")) {
      if (!values.is_none()) items.emplace_back(key, text_of(values));
      continue;
    }
    for (pyb::handle v : values)
      if (!v.is_none()) items.emplace_back(key, text_of(v));
  }
}

std::string encode_params(pyb::handle params) {
  if (params.is_none()) return {};
  if (velna::py::is_text(params) || velna::py::is_bytes(params)) return text_of(params);
  http::QueryItems items;
  add_query_items(items, params);
  return http::encode_query(items);
}

std::string header_value(pyb::handle name, pyb::handle value) {
  if (velna::py::is_text(value) || velna::py::is_bytes(value)) return text_of(value);
  pyb::object shown = velna::py::masked(value, text_of(name));
  velna::py::raise_type_error("Header part (" + utf8(pyb::repr(shown)) + ") from (" +
                              utf8(pyb::repr(name)) + ") must be of type str or bytes");
}

std::string credential_part(pyb::handle o) {
  if (velna::py::is_bytes(o) || velna::py::is_text(o)) return text_of(o);
  velna::py::raise_type_error("auth must hold a user name and a password, as str or bytes");
}

// new_response makes the Response of an answer; other modules make theirs
// through the support library's make_response, which comes here.
pyb::object new_response(velna::py::http::Answer&& a) {
  Response r;
  r.status_code = pyb::int_(a.status);
  r.reason = pyb::str(a.reason);
  r.url = pyb::str(a.url);
  r.received = std::move(a.headers);
  r.request = a.request ? std::move(a.request) : pyb::none();
  r.encoding = pyb::none();
  r.content = a.content ? std::move(a.content) : pyb::bytes("");
  return pyb::cast(std::move(r));
}

pyb::object make_response(http::Response&& got, pyb::object content, pyb::object request) {
  velna::py::http::Answer a;
  a.status = got.status;
  a.reason = std::move(got.reason);
  a.url = std::move(got.url);
  a.headers = std::move(got.headers);
  a.content = std::move(content);
  a.request = std::move(request);
  return new_response(std::move(a));
}

// request_body is the body of a request made of |data| and |json| (see
// http::body_kind) as bytes, or None, and what kind it is.
std::pair<pyb::object, http::BodyKind> request_body(pyb::handle data, pyb::handle json) {
  const bool has_data = !data.is_none() && PyObject_IsTrue(data.ptr());
  const bool raw =
      velna::py::is_bytes(data) || velna::py::is_text(data) || PyObject_CheckBuffer(data.ptr());
  const http::BodyKind kind = http::body_kind(has_data, !raw, !json.is_none());
  pyb::object body;
  switch (kind) {
    case http::BodyKind::None:
      return {pyb::none(), kind};
    case http::BodyKind::Form:
      return {pyb::bytes(encode_params(data)), kind};
    case http::BodyKind::Json:
      body = velna::py::own(PyUnicode_AsUTF8String(velna::py::json::dumps(json).ptr()));
      break;
    case http::BodyKind::Data:
      if (velna::py::is_bytes(data)) return {pyb::reinterpret_borrow<pyb::object>(data), kind};
      body = velna::py::own(velna::py::is_text(data) ? PyUnicode_AsUTF8String(data.ptr())
                                                     : PyBytes_FromObject(data.ptr()));
      break;
  }
  if (!body) throw pyb::error_already_set();
  return {body, kind};
}

// basic_credentials is the Authorization value for the (user name,
// password) pair |auth|.
pyb::str basic_credentials(pyb::handle auth) {
  if (!PyTuple_Check(auth.ptr()) && !PyList_Check(auth.ptr()))
    velna::py::raise_type_error("auth must be a (user name, password) pair");
  pyb::sequence pair = pyb::reinterpret_borrow<pyb::sequence>(auth);
  if (pair.size() != 2) velna::py::raise_type_error("auth must be a (user name, password) pair");
  std::string user = credential_part(pair[0]), password = credential_part(pair[1]);
  return pyb::str(http::basic_authorization(velna::as_bytes(user), velna::as_bytes(password)));
}

// send_headers puts the fields of |merged| that have a value into |req| and
// returns them as the mapping of the prepared request.
pyb::object send_headers(const HeaderDict& merged, http::Request& req) {
  HeaderDict sent;
  for (const auto& f : merged.fields) {
    if (f.value.value.is_none()) continue;
    // Refuses CR, LF and NUL before anything is sent.
    req.headers.add(f.name, header_value(f.value.key, f.value.value));
    sent.fields.append(f.name, f.value);
  }
  return pyb::cast(std::move(sent));
}

pyb::object session_request(Session& s, pyb::object method, pyb::object url, pyb::object params,
                            pyb::object data, pyb::object headers, pyb::object json,
                            pyb::object auth, pyb::object allow_redirects) {
  http::Request req;
  // Redirects are followed only on request, and only within the origin.
  req.follow_redirects = PyObject_IsTrue(allow_redirects.ptr()) == 1;
  if (!velna::py::is_text(method)) velna::py::raise_type_error("method must be str");
  req.method = http::method_name(velna::py::text_utf8(method));
  if (!velna::py::is_text(url)) velna::py::raise_type_error("url must be str");
  try {
    req.url = http::prepare_url(utf8(url), encode_params(params));
  } catch (const http::RequestFailed&) {
    errors.raise_current(pyb::none());
  }

  // Session headers first, then the request's own; a None value removes
  // the header.
  HeaderDict merged;
  merged.update(s.headers);
  merged.update(headers);
  auto [body, kind] = request_body(data, json);
  if (auto type = http::content_type_for(kind); type && !merged.fields.contains("Content-Type"))
    merged.set(pyb::str("Content-Type"), pyb::str(type->data(), type->size()));
  if (!auth.is_none()) merged.set(pyb::str("Authorization"), basic_credentials(auth));

  PreparedRequest prepared;
  prepared.method = pyb::str(req.method);
  prepared.url = pyb::str(req.url);
  prepared.headers = send_headers(merged, req);
  prepared.body = body;
  if (!body.is_none()) req.body = velna::py::view_of(body);
  pyb::object prepared_obj = pyb::cast(std::move(prepared));

  std::shared_ptr<http::Client> client = s.client;
  // The body is received straight into the bytes object of the answer.
  velna::py::http::BodyBuffer content;
  http::Response got;
  try {
    got = velna::py::run_without_gil([&] {
      return client->send(
          req, [&content](std::size_t n, bool whole) { return content.resize(n, whole); });
    });
  } catch (const http::RequestFailed&) {
    errors.raise_current(prepared_obj);
  }
  return make_response(std::move(got), content.take(), std::move(prepared_obj));
}

// make_error defines a request error class; its instances carry the
// response and the request, None unless the error sets them.
PyObject* make_error(pyb::module_& m, const char* name, const char* doc, pyb::handle bases) {
  pyb::object cls = velna::py::define_error(m, name, doc, bases);
  cls.attr("response") = pyb::none();
  cls.attr("request") = pyb::none();
  return cls.ptr();  // define_error keeps it for the life of the process
}

std::chrono::milliseconds timeout_of(pyb::handle seconds) {
  auto timeout = http::timeout_from_seconds(seconds.cast<double>());
  if (!timeout) velna::py::raise_value_error("time-outs must be positive numbers of seconds");
  return *timeout;
}

std::chrono::seconds stall_of(pyb::handle seconds) {
  return http::stall_timeout_of(timeout_of(seconds));
}

double seconds(std::chrono::milliseconds ms) { return std::chrono::duration<double>(ms).count(); }

void bind_errors(pyb::module_& m) {
  PyObject* os_error = PyExc_OSError;
  errors.request =
      make_error(m, "RequestException",
                 "There was an ambiguous exception that occurred while handling your request.",
                 pyb::handle(os_error));
  errors.http = make_error(m, "HTTPError", "An HTTP error occurred.", pyb::handle(errors.request));
  errors.connection =
      make_error(m, "ConnectionError", "A Connection error occurred.", pyb::handle(errors.request));
  errors.timeout = make_error(m, "Timeout", "The request timed out.", pyb::handle(errors.request));
  errors.connect_timeout = make_error(
      m, "ConnectTimeout", "The request timed out while trying to connect to the remote server.",
      pyb::make_tuple(pyb::handle(errors.connection), pyb::handle(errors.timeout)));
  errors.invalid_url =
      make_error(m, "InvalidURL", "The URL provided was somehow invalid.",
                 pyb::make_tuple(pyb::handle(errors.request), pyb::handle(PyExc_ValueError)));
}

// A list of what |part| makes of each field of a CaseInsensitiveDict.
template <typename Part>
pyb::list listed(const HeaderDict& d, Part&& part) {
  pyb::list out;
  for (const auto& f : d.fields) out.append(part(f));
  return out;
}

void bind_CaseInsensitiveDict(pyb::module_& m) {
  using F = http::FieldList<Item>::Field;
  pyb::class_<HeaderDict> cls(m, "CaseInsensitiveDict", "A mapping whose keys ignore case.");
  cls.def(pyb::init([](pyb::object data, pyb::kwargs kwargs) {
            HeaderDict d;
            d.update(data);
            d.update(kwargs);
            return d;
          }),
          "data"_a = pyb::none())
      .def("__getitem__", &HeaderDict::get)
      .def("__setitem__", [](HeaderDict& d, pyb::object k, pyb::object v) { d.set(k, v); })
      .def("__delitem__",
           [](HeaderDict& d, pyb::object k) {
             if (!d.fields.erase(HeaderDict::name_of(k)))
               throw pyb::key_error(pyb::repr(k).cast<std::string>());
           })
      .def("__contains__",
           [](HeaderDict& d, pyb::object k) {
             return velna::py::is_text(k) && d.fields.contains(utf8(k));
           })
      .def("__len__", [](const HeaderDict& d) { return d.fields.size(); })
      .def("__iter__",
           [](const HeaderDict& d) {
             return listed(d, [](const F& f) { return f.value.key; }).attr("__iter__")();
           })
      .def(
          "get",
          [](HeaderDict& d, pyb::object k, pyb::object fallback) -> pyb::object {
            if (!velna::py::is_text(k)) return fallback;
            auto* f = d.fields.find(utf8(k));
            return f ? f->value.value : fallback;
          },
          "key"_a, "default"_a = pyb::none())
      .def("keys",
           [](const HeaderDict& d) { return listed(d, [](const F& f) { return f.value.key; }); })
      .def("values",
           [](const HeaderDict& d) { return listed(d, [](const F& f) { return f.value.value; }); })
      .def("items",
           [](const HeaderDict& d) {
             return listed(d,
                           [](const F& f) { return pyb::make_tuple(f.value.key, f.value.value); });
           })
      .def("lower_items",
           [](const HeaderDict& d) {
             return listed(d, [](const F& f) {
               return pyb::make_tuple(pyb::str(http::lower_ascii(f.name)), f.value.value);
             });
           })
      .def(
          "update",
          [](HeaderDict& d, pyb::object other, pyb::kwargs kwargs) {
            d.update(other);
            d.update(kwargs);
          },
          "other"_a = pyb::none())
      .def("copy", [](const HeaderDict& d) { return d; })
      .def("__eq__",
           [](const HeaderDict& d, pyb::object other) -> pyb::object {
             if (!pyb::hasattr(other, "items"))
               return pyb::reinterpret_borrow<pyb::object>(Py_NotImplemented);
             HeaderDict o;
             o.update(other);
             return pyb::bool_(d.lower_dict().equal(o.lower_dict()));
           })
      .def("__repr__", [](const HeaderDict& d) {
        pyb::dict plain;
        for (const auto& f : d.fields) plain[f.value.key] = f.value.value;
        return pyb::repr(velna::py::masked(plain));
      });
  cls.attr("__hash__") = pyb::none();
  pyb::module_::import("_collections_abc").attr("MutableMapping").attr("register")(cls);
}

void bind_PreparedRequest(pyb::module_& m) {
  pyb::class_<PreparedRequest>(m, "PreparedRequest", pyb::dynamic_attr(),
                               "The request as it was sent: method, url, headers and body.")
      .def_readwrite("method", &PreparedRequest::method)
      .def_readwrite("url", &PreparedRequest::url)
      .def_readwrite("headers", &PreparedRequest::headers)
      .def_readwrite("body", &PreparedRequest::body)
      .def("__repr__", [](const PreparedRequest& r) {
        return pyb::str("<PreparedRequest [{}]>").format(r.method);
      });
}

void bind_Response(pyb::module_& m) {
  pyb::class_<Response>(m, "Response", pyb::dynamic_attr(), "The answer to one HTTP request.")
      .def_readwrite("status_code", &Response::status_code)
      .def_readwrite("reason", &Response::reason)
      .def_readwrite("url", &Response::url)
      .def_property(
          "headers", [](Response& r) { return r.headers(); },
          [](Response& r, pyb::object value) { r.headers() = std::move(value); })
      .def_readwrite("request", &Response::request)
      .def_property(
          "encoding", [](const Response& r) { return r.encoding; },
          [](Response& r, pyb::object value) {
            r.kept_json = pyb::object();
            r.encoding = std::move(value);
          })
      .def_property(
          "content", [](const Response& r) { return r.content; },
          [](Response& r, pyb::object value) {
            r.kept_json = pyb::object();
            r.content = std::move(value);
          })
      .def_property_readonly("text", &response_text, "The body decoded as text.")
      .def("json", &response_json, "Decodes the body as JSON.")
      .def("_decode_kept", &decode_kept,
           "json() for the session: the next json() call receives this result.")
      .def_property_readonly("ok", [](Response& r) { return !status_message(r); })
      .def("__bool__", [](Response& r) { return !status_message(r); })
      .def("raise_for_status", &raise_for_status,
           "Raises HTTPError for a client or server error status.")
      .def("close", [](Response&) {})
      .def("__repr__",
           [](const Response& r) { return pyb::str("<Response [{}]>").format(r.status_code); });
  velna::py::http::register_response_factory(&new_response);
}

Session new_session() {
  Session s;
  http::Options options;
  pyb::handle module(module_ref);
  options.connect_timeout = timeout_of(module.attr("CONNECT_TIMEOUT"));
  options.stall_timeout = stall_of(module.attr("STALL_TIMEOUT"));
  options.total_timeout = timeout_of(module.attr("TOTAL_TIMEOUT"));
  options.max_answer_size =
      velna::py::positive_limit(module.attr("MAX_ANSWER_SIZE"), "MAX_ANSWER_SIZE");
  options.cookies = true;
  s.client = std::make_shared<http::Client>(options);
  HeaderDict defaults;
  for (const http::Field& f : http::session_headers(options)) defaults.append(f.name, f.value);
  s.headers = pyb::cast(std::move(defaults));
  return s;
}

void bind_Session(pyb::module_& m) {
  pyb::class_<Session>(m, "Session", pyb::dynamic_attr(),
                       "An HTTP session: its connections stay open between requests.")
      .def(pyb::init(&new_session))
      .def_readwrite("headers", &Session::headers)
      .def("request", &session_request, "Sends one request and returns its Response.", "method"_a,
           "url"_a, "params"_a = pyb::none(), "data"_a = pyb::none(), "headers"_a = pyb::none(),
           "json"_a = pyb::none(), "auth"_a = pyb::none(), "allow_redirects"_a = false)
      .def_property(
          "connect_timeout",
          [](const Session& s) { return seconds(s.client->options().connect_timeout); },
          [](Session& s, pyb::object value) {
            s.client->set_timeouts(timeout_of(value), s.client->options().stall_timeout);
          })
      .def_property(
          "stall_timeout",
          [](const Session& s) {
            return static_cast<double>(s.client->options().stall_timeout.count());
          },
          [](Session& s, pyb::object value) {
            s.client->set_timeouts(s.client->options().connect_timeout, stall_of(value));
          })
      .def_property(
          "total_timeout",
          [](const Session& s) { return seconds(s.client->options().total_timeout); },
          [](Session& s, pyb::object value) { s.client->set_total_timeout(timeout_of(value)); })
      .def_property(
          "max_answer_size",
          [](const Session& s) { return pyb::int_(s.client->options().max_answer_size); },
          [](Session& s, pyb::object value) {
            s.client->set_max_answer_size(velna::py::positive_limit(value, "max_answer_size"));
          })
      .def(
          "close", [](Session& s) { s.client->close(); }, "Closes the pooled connections.")
      .def("__enter__", [](pyb::object self) { return self; })
      .def("__exit__", [](Session& s, pyb::args) { s.client->close(); });
}

// bind_verbs gives Session its verbs, which go through self.request so that
// a derived session's request serves them as well, and the module its
// one-off request.
void bind_verbs(pyb::module_& m) {
  pyb::object session_cls = m.attr("Session");
  for (const char* verb : {"get", "post", "put", "delete", "head"}) {
    std::string upper = http::method_name(verb);
    session_cls.attr(verb) = pyb::cpp_function(
        [upper](pyb::object self, pyb::object url, pyb::kwargs kwargs) {
          return self.attr("request")(upper, url, **kwargs);
        },
        pyb::name(verb), pyb::is_method(session_cls), "url"_a,
        "Sends one request with this method through request().");
  }
  m.def(
      "request",
      [session_cls](pyb::object method, pyb::object url, pyb::kwargs kwargs) {
        pyb::object session = session_cls();
        pyb::object response = session.attr("request")(method, url, **kwargs);
        session.attr("close")();
        return response;
      },
      "Sends one request on a connection of its own and returns its Response.", "method"_a,
      "url"_a);
}

}  // namespace

PYBIND11_MODULE(http, m) {
  velna::py::ModuleSetup setup;
  m.doc() =
      "HTTP sessions, answers and request errors of the server provider.\n\n"
      "Every request is bounded: connecting gives up after CONNECT_TIMEOUT seconds (10), a "
      "transfer that moves less than a byte a second for STALL_TIMEOUT seconds (30) is "
      "abandoned, and so is a request that lasts longer than TOTAL_TIMEOUT seconds (300) in "
      "all; each raises Timeout. An answer whose body is longer than MAX_ANSWER_SIZE bytes "
      "(64 MiB), or announces such a length, raises RequestException before it is read whole, "
      "as does an answer whose Content-Length is no length or does not match its body. A new "
      "Session takes these values as they stand when it is made; its attributes "
      "connect_timeout, stall_timeout, total_timeout (seconds) and max_answer_size (bytes) "
      "change its own.";
  bind_errors(m);
  // What a new session starts with; its attributes of the same names in
  // lower case change one session's.
  m.attr("CONNECT_TIMEOUT") = seconds(http::kConnectTimeout);
  m.attr("STALL_TIMEOUT") = seconds(http::kStallTimeout);
  m.attr("TOTAL_TIMEOUT") = seconds(http::kTotalTimeout);
  m.attr("MAX_ANSWER_SIZE") = pyb::int_(http::kMaxAnswerSize);
  module_ref = velna::py::keep(m);

  bind_CaseInsensitiveDict(m);
  bind_PreparedRequest(m);
  bind_Response(m);
  bind_Session(m);
  bind_verbs(m);
}
