#include "http_response.h"

#include "velna/http/client.h"

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

void RequestErrors::raise_current(pyb::handle sent) const {
  PyObject* type = request;
  try {
    throw;
  } catch (const velna::http::RequestFailed& e) {
    if (auto* timed_out = dynamic_cast<const velna::http::TimedOut*>(&e))
      type = timed_out->connecting() ? connect_timeout : timeout;
    else if (dynamic_cast<const velna::http::InvalidUrl*>(&e))
      type = invalid_url;
    else if (dynamic_cast<const velna::http::ConnectionFailed*>(&e))
      type = connection;
    if (sent) raise_error(type, e.what(), {{"request", sent}});
    raise_error(type, e.what());
  } catch (...) {
    translate_current();
    throw pyb::error_already_set();
  }
}

}  // namespace velna::py::http
