// velna.providers.server.http: the HTTP layer of the server provider. A
// Session keeps its connections open between requests; Response, the
// case-insensitive header mapping and the request errors are what callers
// read of an answer. The transfers run in the core's libcurl client with
// the GIL released.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
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

std::string fold(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// ---------------------------------------------------------------------------
// CaseInsensitiveDict: a mutable mapping whose str keys compare without
// regard to case; iteration gives the keys as they were last set.

struct HeaderDict {
  struct Entry {
    std::string folded;
    pyb::object key;
    pyb::object value;
  };
  std::vector<Entry> entries;

  static std::string folded_key(pyb::handle key) {
    if (!velna::py::is_text(key)) velna::py::raise_type_error("header names must be str");
    return fold(velna::py::text_utf8(key));
  }
  Entry* find(const std::string& folded) {
    for (Entry& e : entries)
      if (e.folded == folded) return &e;
    return nullptr;
  }
  void set(pyb::object key, pyb::object value) {
    std::string f = folded_key(key);
    if (Entry* e = find(f)) {
      e->key = std::move(key);
      e->value = std::move(value);
    } else {
      entries.push_back({std::move(f), std::move(key), std::move(value)});
    }
  }
  // append adds a field known not to be there yet.
  void append(std::string_view key, std::string_view value) {
    entries.push_back(
        {fold(key), pyb::str(key.data(), key.size()), pyb::str(value.data(), value.size())});
  }
  pyb::object get(pyb::handle key) {
    Entry* e = find(folded_key(key));
    if (!e) throw pyb::key_error(pyb::repr(key).cast<std::string>());
    return e->value;
  }
  void update(pyb::handle other) {
    if (other.is_none()) return;
    if (pyb::isinstance<HeaderDict>(other)) {
      for (const Entry& e : other.cast<const HeaderDict&>().entries) set(e.key, e.value);
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
  pyb::dict lower_dict() const {
    pyb::dict d;
    for (const Entry& e : entries) d[pyb::str(e.folded)] = e.value;
    return d;
  }
};

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
  if (!value.is_none()) {
    std::string type = fold(text_of(value));
    auto at = type.find("charset=");
    if (at != std::string::npos) {
      std::string cs = type.substr(at + 8);
      cs = cs.substr(0, cs.find(';'));
      while (!cs.empty() && (cs.back() == ' ' || cs.back() == '"' || cs.back() == '\''))
        cs.pop_back();
      while (!cs.empty() && (cs.front() == ' ' || cs.front() == '"' || cs.front() == '\''))
        cs.erase(0, 1);
      if (!cs.empty()) return cs;
    }
  }
  return "utf-8";
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

// status_message is the text of the status error for |r|, or empty when its
// status is not an error. The address is named with its credentials masked.
std::string status_message(Response& r) {
  const long code = r.status();
  const char* kind = code >= 400 && code < 500   ? "Client"
                     : code >= 500 && code < 600 ? "Server"
                                                 : nullptr;
  if (!kind) return {};
  return std::to_string(code) + " " + kind + " Error: " + text_of(r.reason) +
         " for url: " + http::mask_url(text_of(r.url));
}

void raise_for_status(pyb::object self) {
  auto& r = self.cast<Response&>();
  std::string message = status_message(r);
  if (message.empty()) return;
  velna::py::raise_error(errors.http, message, {{"response", self}, {"request", r.request}});
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

pyb::object make_response(http::Response&& got, pyb::object request) {
  velna::py::http::Answer a;
  a.status = got.status;
  a.reason = std::move(got.reason);
  a.url = std::move(got.url);
  a.headers = std::move(got.headers);
  a.content = velna::py::to_bytes(got.body);
  a.request = std::move(request);
  return new_response(std::move(a));
}

pyb::object session_request(Session& s, pyb::object method, pyb::object url, pyb::object params,
                            pyb::object data, pyb::object headers, pyb::object json,
                            pyb::object auth, pyb::object allow_redirects) {
  http::Request req;
  // Redirects are followed only on request, and only within the origin.
  req.follow_redirects = PyObject_IsTrue(allow_redirects.ptr()) == 1;
  if (!velna::py::is_text(method)) velna::py::raise_type_error("method must be str");
  req.method = utf8(method);
  for (char& c : req.method)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (!velna::py::is_text(url)) velna::py::raise_type_error("url must be str");

  PreparedRequest prepared;
  prepared.method = pyb::str(req.method);
  prepared.url = url;
  prepared.body = pyb::none();
  pyb::object prepared_obj;
  try {
    req.url = http::prepare_url(utf8(url), encode_params(params));
  } catch (const http::RequestFailed&) {
    errors.raise_current(pyb::none());
  }
  prepared.url = pyb::str(req.url);

  // Session headers first, then the request's own; a None value removes
  // the header.
  HeaderDict merged;
  merged.update(s.headers);
  merged.update(headers);

  pyb::object body = pyb::none();
  const char* content_type = nullptr;
  // An empty body counts as none, and a JSON value is sent only then.
  if (!data.is_none() && PyObject_IsTrue(data.ptr())) {
    if (velna::py::is_bytes(data)) {
      body = data;
    } else if (velna::py::is_text(data)) {
      body = pyb::reinterpret_steal<pyb::object>(PyUnicode_AsUTF8String(data.ptr()));
      if (!body) throw pyb::error_already_set();
    } else if (PyObject_CheckBuffer(data.ptr())) {
      body = pyb::reinterpret_steal<pyb::object>(PyBytes_FromObject(data.ptr()));
      if (!body) throw pyb::error_already_set();
    } else {
      std::string form = encode_params(data);
      body = pyb::bytes(form);
      content_type = "application/x-www-form-urlencoded";
    }
  } else if (!json.is_none()) {
    pyb::str text = velna::py::json::dumps(json);
    body = pyb::reinterpret_steal<pyb::object>(PyUnicode_AsUTF8String(text.ptr()));
    if (!body) throw pyb::error_already_set();
    content_type = "application/json";
  }
  if (content_type && !merged.find("content-type"))
    merged.set(pyb::str("Content-Type"), pyb::str(content_type));
  if (!auth.is_none()) {
    if (!PyTuple_Check(auth.ptr()) && !PyList_Check(auth.ptr()))
      velna::py::raise_type_error("auth must be a (user name, password) pair");
    pyb::sequence pair = pyb::reinterpret_borrow<pyb::sequence>(auth);
    if (pair.size() != 2) velna::py::raise_type_error("auth must be a (user name, password) pair");
    std::string user = credential_part(pair[0]), password = credential_part(pair[1]);
    merged.set(pyb::str("Authorization"), pyb::str(http::basic_authorization(
                                              velna::as_bytes(user), velna::as_bytes(password))));
  }

  HeaderDict sent;
  for (auto& e : merged.entries) {
    if (e.value.is_none()) continue;
    std::string name = utf8(e.key);
    std::string value = header_value(e.key, e.value);
    req.headers.add(name, value);  // refuses CR, LF and NUL before anything is sent
    sent.entries.push_back(e);
  }
  if (!body.is_none()) req.body = velna::py::view_of(body);
  prepared.headers = pyb::cast(std::move(sent));
  prepared.body = body;
  prepared_obj = pyb::cast(std::move(prepared));

  std::shared_ptr<http::Client> client = s.client;
  http::Response got;
  try {
    got = velna::py::run_without_gil([&] { return client->send(req); });
  } catch (const http::RequestFailed&) {
    errors.raise_current(prepared_obj);
  }
  return make_response(std::move(got), std::move(prepared_obj));
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

// stall_of is a stall time-out in the whole seconds that libcurl measures,
// rounded half up, and at least one.
std::chrono::seconds stall_of(pyb::handle seconds) {
  const std::chrono::milliseconds ms = timeout_of(seconds);
  return std::max(std::chrono::seconds(1), std::chrono::seconds((ms.count() + 500) / 1000));
}

double seconds(std::chrono::milliseconds ms) { return std::chrono::duration<double>(ms).count(); }

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

  // What a new session starts with; its attributes of the same names in
  // lower case change one session's.
  m.attr("CONNECT_TIMEOUT") = seconds(http::kConnectTimeout);
  m.attr("STALL_TIMEOUT") = seconds(http::kStallTimeout);
  m.attr("TOTAL_TIMEOUT") = seconds(http::kTotalTimeout);
  m.attr("MAX_ANSWER_SIZE") = pyb::int_(http::kMaxAnswerSize);
  module_ref = velna::py::keep(m);

  pyb::class_<HeaderDict> dict_cls(m, "CaseInsensitiveDict", "A mapping whose keys ignore case.");
  dict_cls
      .def(pyb::init([](pyb::object data, pyb::kwargs kwargs) {
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
             std::string f = HeaderDict::folded_key(k);
             auto& es = d.entries;
             for (auto it = es.begin(); it != es.end(); ++it)
               if (it->folded == f) return void(es.erase(it));
             throw pyb::key_error(pyb::repr(k).cast<std::string>());
           })
      .def("__contains__",
           [](HeaderDict& d, pyb::object k) {
             return velna::py::is_text(k) && d.find(HeaderDict::folded_key(k)) != nullptr;
           })
      .def("__len__", [](const HeaderDict& d) { return d.entries.size(); })
      .def("__iter__",
           [](const HeaderDict& d) {
             pyb::list keys;
             for (const auto& e : d.entries) keys.append(e.key);
             return keys.attr("__iter__")();
           })
      .def(
          "get",
          [](HeaderDict& d, pyb::object k, pyb::object fallback) -> pyb::object {
            if (!velna::py::is_text(k)) return fallback;
            HeaderDict::Entry* e = d.find(HeaderDict::folded_key(k));
            return e ? e->value : fallback;
          },
          "key"_a, "default"_a = pyb::none())
      .def("keys",
           [](const HeaderDict& d) {
             pyb::list out;
             for (const auto& e : d.entries) out.append(e.key);
             return out;
           })
      .def("values",
           [](const HeaderDict& d) {
             pyb::list out;
             for (const auto& e : d.entries) out.append(e.value);
             return out;
           })
      .def("items",
           [](const HeaderDict& d) {
             pyb::list out;
             for (const auto& e : d.entries) out.append(pyb::make_tuple(e.key, e.value));
             return out;
           })
      .def("lower_items",
           [](const HeaderDict& d) {
             pyb::list out;
             for (const auto& e : d.entries)
               out.append(pyb::make_tuple(pyb::str(e.folded), e.value));
             return out;
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
        for (const auto& e : d.entries) plain[e.key] = e.value;
        return pyb::repr(velna::py::masked(plain));
      });
  dict_cls.attr("__hash__") = pyb::none();
  pyb::module_::import("collections.abc").attr("MutableMapping").attr("register")(dict_cls);

  pyb::class_<PreparedRequest>(m, "PreparedRequest", pyb::dynamic_attr(),
                               "The request as it was sent: method, url, headers and body.")
      .def_readwrite("method", &PreparedRequest::method)
      .def_readwrite("url", &PreparedRequest::url)
      .def_readwrite("headers", &PreparedRequest::headers)
      .def_readwrite("body", &PreparedRequest::body)
      .def("__repr__", [](const PreparedRequest& r) {
        return pyb::str("<PreparedRequest [{}]>").format(r.method);
      });

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
      .def_property_readonly("ok", [](Response& r) { return status_message(r).empty(); })
      .def("__bool__", [](Response& r) { return status_message(r).empty(); })
      .def("raise_for_status", &raise_for_status,
           "Raises HTTPError for a client or server error status.")
      .def("close", [](Response&) {})
      .def("__repr__",
           [](const Response& r) { return pyb::str("<Response [{}]>").format(r.status_code); });
  velna::py::http::register_response_factory(&new_response);

  pyb::class_<Session>(m, "Session", pyb::dynamic_attr(),
                       "An HTTP session: its connections stay open between requests.")
      .def(pyb::init([] {
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
        defaults.append("User-Agent", options.user_agent);
        defaults.append("Accept", "*/*");
        s.headers = pyb::cast(std::move(defaults));
        return s;
      }))
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

  // The verbs go through self.request, so that a derived session's request
  // serves them as well.
  pyb::object session_cls = m.attr("Session");
  for (const char* verb : {"get", "post", "put", "delete", "head"}) {
    std::string upper(verb);
    for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
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
