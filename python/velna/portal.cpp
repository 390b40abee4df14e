// velna.portal: the entry functions an application calls first. Each checks
// or converts its arguments, writes its log lines and hands the work to the
// active provider inside one scope of the provider registry.
#include <pybind11/pybind11.h>

#include "provider_scope.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::py::Globals;

constexpr const char* kFipsFailed =
    "Unable to enable FIPS.  Check OpenSSL install and library linkage.";
constexpr const char* kNoCredential = "One of \"password\" or \"passphrase\" must be provided.";
constexpr const char* kBadUserId = "user_id must be a UUID string.";

// The module's names, looked up at each call as the module's own code would.
const Globals* globals = nullptr;

void initialize(pyb::object api_key, pyb::object fips, pyb::kwargs kwargs) {
  const Globals& g = *globals;
  g["log"].attr("info")("Initializing the Velna library.");
  if (velna::py::truth(fips)) {
    try {
      g["crypto"].attr("enable_fips")();
    } catch (pyb::error_already_set& e) {
      if (!e.matches(PyExc_AssertionError)) throw;
      pyb::object failure = velna::py::exception_of(e);
      g["log"].attr("error")(kFipsFailed);
      velna::py::raise_with_context(PyExc_RuntimeError, kFipsFailed, failure);
    }
  }
  velna::py::run_scoped(g["providers_get"], [&](pyb::handle provider) {
    provider.attr("initialize")(api_key, **kwargs);
    return pyb::none();
  });
}

pyb::object login(pyb::object user_id, pyb::object password, pyb::object passphrase) {
  const Globals& g = *globals;
  if (password.is_none() && passphrase.is_none()) {
    g["log"].attr("warning")(kNoCredential);
    velna::py::raise_value_error(kNoCredential);
  }
  pyb::object id;
  try {
    id = g["UUID"](user_id);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    pyb::object failure = velna::py::exception_of(e);
    g["log"].attr("error")(kBadUserId, "exc_info"_a = failure);
    velna::py::raise_with_context(PyExc_ValueError, kBadUserId, failure);
  }
  auto result = velna::py::run_scoped(g["providers_get"], [&](pyb::handle provider) -> pyb::object {
    return provider.attr("login")(id, "password"_a = password, "passphrase"_a = passphrase);
  });
  return result ? *result : pyb::none();
}

void logout(pyb::args args, pyb::kwargs kwargs) {
  velna::py::run_scoped((*globals)["providers_get"], [&](pyb::handle provider) {
    provider.attr("logout")(*args, **kwargs);
    return pyb::none();
  });
}

}  // namespace

PYBIND11_MODULE(portal, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "Library entry: initialize, login and logout.";
  velna::py::bind_lazily(m, "logging", "logging");
  m.attr("crypto") = pyb::module_::import("velna.crypto");
  m.attr("providers_get") = pyb::module_::import("velna.providers").attr("get");
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  velna::py::bind_lazily(m, "log", "logging", "getLogger", "velna");
  if (!globals) globals = new Globals(m);

  m.def("initialize", &initialize,
        "Initializes the library: switches on FIPS mode when asked, then hands the API key and the "
        "options (app_name, server_url, root_dir) to the active provider.",
        "api_key"_a, "fips"_a = true);
  m.def("login", &login,
        "Logs a user in with a password or a backup passphrase and returns the logged-in user.",
        "user_id"_a, "password"_a = pyb::none(), "passphrase"_a = pyb::none());
  m.def("logout", &logout, "Logs the current user out and clears the user data held in memory.");
}
