// velna.crypto.ecdhe: the raw ECDH shared secret.
#include <pybind11/pybind11.h>

#include "velna_py.h"

namespace {
namespace pyb = pybind11;
using namespace pyb::literals;
}  // namespace

PYBIND11_MODULE(ecdhe, m) {
  velna::py::ModuleSetup setup;
  auto lib = pyb::module_::import("velna._cryptolib");
  m.attr("ec") = lib.attr("ec");
  m.attr("ECDH") = lib.attr("ec").attr("ECDH")();
  m.def(
      "exchange",
      [m](pyb::object private_key, pyb::object public_key) {
        return private_key.attr("exchange")(m.attr("ECDH"), public_key);
      },
      "Performs an Elliptic Curve Diffie Hellman key exchange.", "private_key"_a, "public_key"_a);
}
