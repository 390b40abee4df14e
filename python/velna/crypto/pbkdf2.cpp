// velna.crypto.pbkdf2: the password-based key derivation engines of the key
// file, indexed by key-file format version, and create_key.
#include <pybind11/pybind11.h>

#include <cstring>

#include "fast_path.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/kdf.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

constexpr int kVersion = 1;
constexpr std::size_t kKeyLength = 32;
constexpr std::uint32_t kIterations = 100000;

// Kept for the life of the process.
PyObject* this_module = nullptr;
// V1_PBKDF2 as made at load: while engine 1 is still it, the core derives.
vp::OwnPartial own_engine{"velna.crypto.pbkdf2.V1_PBKDF2"};

// Engine 1 always yields 32 bytes; a caller asking for another length would
// otherwise get a key of the wrong size without noticing.
void check_length(pyb::handle length) {
  if (PyLong_Check(length.ptr()) && !PyBool_Check(length.ptr())) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
    if (!overflow && n == static_cast<long long>(kKeyLength)) return;
  }
  vp::raise_value_error("create_key derives 32-byte keys only.");
}

}  // namespace

PYBIND11_MODULE(pbkdf2, m) {
  vp::ModuleSetup setup;
  m.doc() = "Password-based key derivation: PBKDF2 with HMAC-SHA384.";
  this_module = vp::keep(m);

  auto crypto = pyb::module_::import("velna.crypto");
  auto lib = pyb::module_::import("velna._cryptolib");
  auto partial = pyb::module_::import("_functools").attr("partial");
  m.attr("partial") = partial;
  m.attr("backend") = crypto.attr("backend");
  m.attr("SHA384") = lib.attr("hashes").attr("SHA384");
  m.attr("PBKDF2HMAC") = lib.attr("PBKDF2HMAC");

  pyb::object v1 = partial(
      lib.attr("PBKDF2HMAC"), "algorithm"_a = lib.attr("hashes").attr("SHA384")(),
      "length"_a = kKeyLength, "iterations"_a = kIterations, "backend"_a = crypto.attr("backend"));
  vp::register_native("velna.crypto.pbkdf2.V1_PBKDF2", v1);
  own_engine.made(v1);
  m.attr("V1_PBKDF2") = v1;
  pyb::dict engines;
  engines[pyb::int_(kVersion)] = v1;
  m.attr("engines") = engines;

  m.def(
      "create_key",
      [](pyb::object secret, pyb::object salt, pyb::object length) -> pyb::object {
        check_length(length);
        pyb::object engine = pyb::handle(this_module).attr("engines")[pyb::int_(kVersion)];
        pyb::object salt_bytes = salt;
        if (!vp::truthy(salt)) salt_bytes = pyb::bytes("");
        if (!own_engine.is(engine)) return engine("salt"_a = salt_bytes).attr("derive")(secret);
        // Still our own engine: run the core directly, in the order in which
        // the engine would judge its inputs (salt when built, key material
        // when deriving). Bytes are immutable, so the views stay valid while
        // the GIL is released.
        velna::ByteView s = vp::bytes_arg(salt_bytes, "salt");
        velna::ByteView key = vp::bytes_arg(secret, "key_material");
        return vp::new_bytes_without_gil(kKeyLength, [&](std::uint8_t* out) {
          velna::SecretBytes derived =
              velna::kdf::pbkdf2_hmac(velna::HashKind::Sha384, key, s, kIterations, kKeyLength);
          std::memcpy(out, derived.data(), kKeyLength);
        });
      },
      "Derives a key from a secret with the key-file version 1 engine.", "secret"_a,
      "salt"_a = pyb::none(), "length"_a = kKeyLength);
}
