// velna.crypto.aes: AES-CTR encryption under fresh IVs, and DecryptionError.
#include <pybind11/pybind11.h>

#include "velna/crypto/aes.h"
#include "velna/crypto/random.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

PyObject* crypto_package = nullptr;

pyb::object crypto_attr(const char* name) {
  return pyb::reinterpret_borrow<pyb::object>(crypto_package).attr(name);
}

// draw takes |n| random bytes from crypto.random as it is bound now.
pyb::bytes draw(std::size_t n) {
  pyb::object random = crypto_attr("random");
  if (velna::py::is_native("velna.crypto.random", random))
    return velna::py::new_bytes(n, [n](std::uint8_t* out) { velna::fill_random({out, n}); });
  return random(n);
}

pyb::bytes transform(pyb::object data, pyb::object cipher_key, pyb::object iv) {
  crypto_attr("backend");
  velna::ByteView d = velna::py::bytes_arg(data, "data");
  velna::ByteView key = velna::py::bytes_arg(cipher_key, "key");
  velna::ByteView nonce = velna::py::bytes_arg(iv, "nonce");
  velna::aes::check_parameters(key, nonce);
  return velna::py::new_bytes(d.size(), [&](std::uint8_t* out) {
    velna::aes::ctr_transform(key, nonce, d, out);
  });
}

}  // namespace

PYBIND11_MODULE(aes, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "AES-256 in CTR mode.";
  auto utils = pyb::module_::import("velna.utils");
  m.attr("pad") = utils.attr("pad");
  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto;
  crypto_package = crypto.inc_ref().ptr();

  // Half an AES block (128 bits), counted in bytes.
  m.attr("NONCE_LENGTH") = 128 / 16;

  PyObject* error = PyErr_NewExceptionWithDoc(
      "velna.crypto.aes.DecryptionError",
      "Raised for decryption problems, for instance when decrypted data that should be a "
      "de-serialisable JSON string is not.",
      PyExc_Exception, nullptr);
  if (!error) throw pyb::error_already_set();
  m.add_object("DecryptionError", pyb::reinterpret_steal<pyb::object>(error));

  m.def("decrypt", &transform, "Decrypts data with AES-256 in CTR mode.", "data"_a, "cipher_key"_a,
        "iv"_a);
  m.def("encrypt", &transform, "Encrypts data with AES-256 in CTR mode.", "data"_a, "cipher_key"_a,
        "iv"_a);
  m.def(
      "create_iv",
      [m]() -> pyb::object {
        pyb::object random = crypto_attr("random");
        if (velna::py::is_native("velna.crypto.random", random)) {
          velna::aes::Iv iv = velna::aes::make_iv();
          return velna::py::to_bytes(iv);
        }
        pyb::object nonce = random(velna::aes::kNonceLength);
        return m.attr("pad")(nonce, "length"_a = 2 * velna::aes::kNonceLength);
      },
      "Creates an initial counter block: a random nonce followed by zero bytes.");
  m.def("create_key", [] { return draw(velna::aes::kKeyLength); }, "Creates a random AES-256 key.");
  // The container module runs the core directly while these are our own.
  for (const char* name : {"create_iv", "encrypt", "decrypt"})
    velna::py::register_native((std::string("velna.crypto.aes.") + name).c_str(), m.attr(name));
}
