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

struct Answer {
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

}  // namespace velna::py::http
