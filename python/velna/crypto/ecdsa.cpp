// velna.crypto.ecdsa: ECDSA over SHA-384 with DER signatures.
#include <pybind11/pybind11.h>

#include "velna/crypto/ec.h"
#include "velna_py.h"

namespace {
namespace pyb = pybind11;
using namespace pyb::literals;
}  // namespace

PYBIND11_MODULE(ecdsa, m) {
  velna::py::ModuleSetup setup;
  auto lib = pyb::module_::import("velna._cryptolib");
  m.attr("ec") = lib.attr("ec");
  m.attr("hashes") = lib.attr("hashes");
  m.attr("ECDSA") = lib.attr("ec").attr("ECDSA")(lib.attr("hashes").attr("SHA384")());

  // Keys of our own go to the core; any other key object signs and verifies
  // itself with the shared ECDSA object.
  m.def(
      "sign",
      [m](pyb::object private_key, pyb::object data) -> pyb::object {
        if (pyb::isinstance<velna::ec::PrivateKey>(private_key)) {
          velna::ByteView d = velna::py::bytes_arg(data, "data");
          const auto& key = private_key.cast<const velna::ec::PrivateKey&>();
          // A signature is long work whatever the length of |data|.
          return velna::py::to_bytes(
              velna::py::run_without_gil([&] { return key.sign(velna::HashKind::Sha384, d); }));
        }
        return private_key.attr("sign")(data, m.attr("ECDSA"));
      },
      "Signs some data.", "private_key"_a, "data"_a);
  m.def(
      "verify",
      [m](pyb::object public_key, pyb::object data, pyb::object signature) {
        if (pyb::isinstance<velna::ec::PublicKey>(public_key)) {
          velna::ByteView s = velna::py::bytes_arg(signature, "signature");
          velna::ByteView d = velna::py::bytes_arg(data, "data");
          public_key.cast<const velna::ec::PublicKey&>().verify(velna::HashKind::Sha384, s, d);
          return;
        }
        public_key.attr("verify")(signature, data, m.attr("ECDSA"));
      },
      "Signature verification.", "public_key"_a, "data"_a, "signature"_a);
}
