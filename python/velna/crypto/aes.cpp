// velna.crypto.aes: AES-CTR encryption under fresh IVs, and DecryptionError.
#include <pybind11/pybind11.h>

#include "fast_path.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/random.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

PyObject* crypto_package = nullptr;  // kept for the life of the process
struct Names {
  VELNA_PY_NAME_FIELD(random)
};
const Names& N() { return vp::table<Names>(); }
vp::Own own_random{"velna.crypto.random"};

// random_bytes draws |n| bytes with crypto.random as it is bound now.
pyb::bytes random_bytes(std::size_t n) {
  return vp::late_bound(
      crypto_package, N().random, own_random,
      [n] { return vp::new_bytes(n, [n](std::uint8_t* out) {
              velna::fill_random({out, n});
            }); },
      [n](pyb::object random) { return random(n); });
}

pyb::bytes transform(pyb::object data, pyb::object cipher_key, pyb::object iv) {
  pyb::handle(crypto_package).attr("backend");
  velna::ByteView d = vp::bytes_arg(data, "data");
  velna::ByteView key = vp::bytes_arg(cipher_key, "key");
  velna::ByteView nonce = vp::bytes_arg(iv, "nonce");
  velna::aes::check_parameters(key, nonce);
  return vp::new_bytes(d.size(),
                       [&](std::uint8_t* out) { velna::aes::ctr_transform(key, nonce, d, out); });
}

}  // namespace

PYBIND11_MODULE(aes, m) {
  vp::ModuleSetup setup;
  m.doc() = "AES-256 in CTR mode.";
  auto utils = pyb::module_::import("velna.utils");
  m.attr("pad") = utils.attr("pad");
  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto;
  crypto_package = vp::keep(crypto);

  // Half an AES block (128 bits), counted in bytes.
  m.attr("NONCE_LENGTH") = 128 / 16;

  vp::define_error(m, "DecryptionError",
                   "Raised for decryption problems, for instance when decrypted data that should "
                   "be a de-serialisable JSON string is not.");

  m.def("decrypt", &transform, "Decrypts data with AES-256 in CTR mode.", "data"_a, "cipher_key"_a,
        "iv"_a);
  m.def("encrypt", &transform, "Encrypts data with AES-256 in CTR mode.", "data"_a, "cipher_key"_a,
        "iv"_a);
  m.def(
      "create_iv",
      [m]() -> pyb::object {
        return vp::late_bound(
            crypto_package, N().random, own_random,
            [] { return vp::to_bytes(velna::aes::make_iv()); },
            [&m](pyb::object random) {
              pyb::object nonce = random(velna::aes::kNonceLength);
              return m.attr("pad")(nonce, "length"_a = 2 * velna::aes::kNonceLength);
            });
      },
      "Creates an initial counter block: a random nonce followed by zero bytes.");
  m.def(
      "create_key", [] { return random_bytes(velna::aes::kKeyLength); },
      "Creates a random AES-256 key.");
  // The container module runs the core directly while these are our own.
  for (const char* name : {"create_iv", "encrypt", "decrypt"})
    vp::register_native((std::string("velna.crypto.aes.") + name).c_str(), m.attr(name));
}
