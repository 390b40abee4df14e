// The answers of the HTTP layer (velna.providers.server.http.Response) for
// modules that make requests of their own, such as object storage: the HTTP
// module registers its factory when it loads, and every answer, whichever
// module made the request, is of that one class.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "velna/http/headers.h"
#include "velna_py.h"

namespace velna::py::http {

// Hidden, as pybind11's own types are: it holds pybind11 objects.
struct __attribute__((visibility("hidden"))) Answer {
  long status = 0;
  std::string reason;
  std::string url;  // the address that answered
  velna::http::Headers headers;
  pyb::object content;  // bytes
  pyb::object request;  // what was sent, or None
};

using ResponseFactory = pyb::object (*)(Answer&& answer);

// register_response_factory is called by the HTTP module when it loads.
VELNA_PY_API void register_response_factory(ResponseFactory factory);

// make_response is the Response for |answer|; the HTTP module is imported
// first when it has not been loaded yet.
VELNA_PY_API pyb::object make_response(Answer&& answer);

// The request errors of the HTTP layer, made once by the HTTP module when it
// loads and kept for the process, so that one except clause serves every
// module that makes requests.
struct RequestErrors {
  PyObject* request = nullptr;  // RequestException
  PyObject* http = nullptr;     // HTTPError
  PyObject* connection = nullptr;
  PyObject* timeout = nullptr;
  PyObject* connect_timeout = nullptr;
  PyObject* invalid_url = nullptr;

  // of is the error classes of the loaded HTTP module |http|.
  static RequestErrors of(pyb::handle http) {
    RequestErrors e;
    e.request = keep(http.attr("RequestException"));
    e.http = keep(http.attr("HTTPError"));
    e.connection = keep(http.attr("ConnectionError"));
    e.timeout = keep(http.attr("Timeout"));
    e.connect_timeout = keep(http.attr("ConnectTimeout"));
    e.invalid_url = keep(http.attr("InvalidURL"));
    return e;
  }

  // raise_current raises the Python error of the C++ exception being
  // handled (inside a catch block) for a module that makes requests: a
  // velna::http::RequestFailed as the class of this family that it stands
  // for (TimedOut: Timeout, or ConnectTimeout while connecting; InvalidUrl:
  // InvalidURL; ConnectionFailed: ConnectionError; any other:
  // RequestException), with |request| set as its request when given;
  // anything else as translate_current raises it.
  [[noreturn]] VELNA_PY_API void raise_current(pyb::handle request = {}) const;
};

}  // namespace velna::py::http
