#include "http_response.h"

namespace velna::py::http {
namespace {
ResponseFactory registered = nullptr;  // set under the GIL
}  // namespace

void register_response_factory(ResponseFactory factory) { registered = factory; }

pyb::object make_response(Answer&& answer) {
  if (!registered) pyb::module_::import("velna.providers.server.http");
  if (!registered) raise_error(PyExc_ImportError, "the HTTP layer registered no Response factory");
  return registered(std::move(answer));
}

}  // namespace velna::py::http
