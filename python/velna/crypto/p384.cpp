// velna.crypto.p384: P-384 key generation and loading with the curve check.
#include <pybind11/pybind11.h>

#include <string>

#include "velna/crypto/p384.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::p384::Loader;

// PEM loaders take text (encoded as UTF-8 first) or bytes; anything else is
// refused like malformed key material.
velna::ByteView pem_arg(pyb::handle key, Loader loader) {
  if (velna::py::is_text(key)) return velna::as_bytes(velna::py::text_utf8(key));
  if (velna::py::is_bytes(key)) return velna::py::view_of(key);
  velna::p384::refuse(loader);
}

}  // namespace

PYBIND11_MODULE(p384, m) {
  velna::py::ModuleSetup setup;
  velna::py::bind_lazily(m, "logging", "logging");
  m.attr("ec") = pyb::module_::import("velna._cryptolib").attr("ec");
  // The crypto package is still loading when it loads this module; its
  // backend must already be bound.
  auto crypto = pyb::module_::import("velna.crypto");
  if (!pyb::hasattr(crypto, "backend")) {
    PyErr_SetString(
        PyExc_ImportError,
        "cannot import name 'backend' from partially initialized module 'velna.crypto'");
    throw pyb::error_already_set();
  }
  m.attr("backend") = crypto.attr("backend");
  velna::py::bind_lazily(m, "log", "logging", "getLogger", "velna.crypto.p384");

  m.def(
      "generate_private_key", [] { return velna::p384::generate_private_key(); }, "");
  m.def(
      "load_pem_public_key",
      [](pyb::object key) {
        return velna::p384::load_pem_public_key(pem_arg(key, Loader::PemPublic));
      },
      "Loads a public Elliptic Curve P-384 key from PEM format.", "key"_a);
  m.def(
      "load_pem_private_key",
      [](pyb::object key) {
        return velna::p384::load_pem_private_key(pem_arg(key, Loader::PemPrivate));
      },
      "Loads a private Elliptic Curve P-384 key from PEM format.", "key"_a);
  // Other modules load keys through these while they are still ours.
  for (const char* name : {"load_pem_public_key", "load_pem_private_key"})
    velna::py::register_native((std::string("velna.crypto.p384.") + name).c_str(), m.attr(name));
  m.def(
      "load_der_public_key",
      [](pyb::object key) {
        if (!velna::py::is_bytes(key)) velna::p384::refuse(Loader::DerPublic);
        return velna::p384::load_der_public_key(velna::py::view_of(key));
      },
      "Loads a public Elliptic Curve P-384 key from DER format.", "key"_a);
}
