// The velna.crypto package: the OpenSSL backend and the library objects the
// other modules share, hex digests, the FIPS switch, key serialisation,
// random bytes and the X9.63 KDF.
#include <pybind11/pybind11.h>

#include <climits>
#include <cstdint>
#include <limits>
#include <new>

#include "velna/crypto/digest.h"
#include "velna/crypto/ec.h"
#include "velna/crypto/fips.h"
#include "velna/crypto/kdf.h"
#include "velna/crypto/random.h"
#include "velna/error.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::py::new_bytes;
using velna::py::to_bytes;

// Classes of the library, kept for the life of the process (never released,
// so nothing runs at interpreter shutdown).
PyObject* hash_algorithm_class = nullptr;  // hashes.HashAlgorithm
PyObject* private_key_class = nullptr;     // ec.EllipticCurvePrivateKey
PyObject* public_key_class = nullptr;      // ec.EllipticCurvePublicKey

velna::HashKind hash_kind(pyb::handle algo) {
  if (!pyb::isinstance(algo, pyb::handle(hash_algorithm_class)))
    velna::py::raise_type_error("Expected instance of hashes.HashAlgorithm.");
  auto name = pyb::str(algo.attr("name")).cast<std::string>();
  auto kind = velna::hash_kind_from_name(name);
  if (!kind) velna::py::raise_type_error("Expected instance of hashes.HashAlgorithm.");
  return *kind;
}

pyb::str hex_text(velna::HashKind kind, pyb::handle data) {
  velna::ByteView v = velna::py::bytes_or_text_arg(data, "data");
  std::uint8_t out[64];
  velna::py::run_released(v.size(), [&] { velna::digest(kind, v, out); });
  std::string hex = velna::to_hex({out, velna::digest_size(kind)});
  return pyb::str(hex);
}

const velna::ec::PrivateKey& private_key_arg(pyb::handle key) {
  if (!pyb::isinstance(key, pyb::handle(private_key_class)))
    velna::py::raise_value_error("Can only handle EllipticCurvePrivateKey keys.");
  return key.cast<const velna::ec::PrivateKey&>();
}

const velna::ec::PublicKey& public_key_arg(pyb::handle key) {
  if (!pyb::isinstance(key, pyb::handle(public_key_class)))
    velna::py::raise_value_error("Can only handle EllipticCurvePublicKey keys.");
  return key.cast<const velna::ec::PublicKey&>();
}

std::size_t count_arg(pyb::handle num) {
  if (PyBool_Check(num.ptr()) || !PyIndex_Check(num.ptr()))
    velna::py::raise_type_error("num must be an integer");
  auto index = pyb::reinterpret_steal<pyb::object>(PyNumber_Index(num.ptr()));
  if (!index) throw pyb::error_already_set();
  int overflow = 0;
  long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow || n < 0 || static_cast<unsigned long long>(n) > velna::kMaxRandomRequest)
    velna::py::raise_value_error("num must be between 0 and " +
                                 std::to_string(velna::kMaxRandomRequest));
  return static_cast<std::size_t>(n);
}

// bind_digests binds _hash and SHA384, the hex digests.
void bind_digests(pyb::module_& m) {
  m.def(
      "_hash", [](pyb::object data, pyb::object algo) { return hex_text(hash_kind(algo), data); },
      "A generic helper to hash some data with an algorithm.", "data"_a, "algo"_a);

  // SHA384 is _hash with its algorithm preset; it calls the core directly.
  m.def(
      "SHA384", [](pyb::object data) { return hex_text(velna::HashKind::Sha384, data); },
      "A generic helper to hash some data with an algorithm.", "data"_a);
}

// bind_fips binds enable_fips.
void bind_fips(pyb::module_& m) {
  m.def(
      "enable_fips", [] { velna::fips::enable(); }, "Sets FIPS mode on the OpenSSL backend.");
}

// bind_serializers binds the PEM and DER serialisers of keys.
void bind_serializers(pyb::module_& m) {
  m.def(
      "to_pem_private", [](pyb::object key) { return to_bytes(private_key_arg(key).to_pem()); },
      "Serializes a private key into PEM format.", "key"_a);
  m.def(
      "to_pem_public", [](pyb::object key) { return to_bytes(public_key_arg(key).to_pem()); },
      "Serializes a public key into PEM format.", "key"_a);
  m.def(
      "to_der_private", [](pyb::object key) { return to_bytes(private_key_arg(key).to_der()); },
      "Serializes a private key into DER format.", "key"_a);
  m.def(
      "to_der_public", [](pyb::object key) { return to_bytes(public_key_arg(key).to_der()); },
      "Serializes a public key into DER format.", "key"_a);
}

// bind_random binds random, the one source of random bytes of the package.
void bind_random(pyb::module_& m) {
  m.def(
      "random",
      [](pyb::object num) {
        std::size_t n = count_arg(num);
        return new_bytes(n, [n](std::uint8_t* out) { velna::fill_random({out, n}); });
      },
      "Returns random bytes from the OpenSSL library.", "num"_a);
  velna::py::register_native("velna.crypto.random", m.attr("random"));
}

// bind_KDF2 binds KDF2, the X9.63 key derivation with its defaults.
void bind_KDF2(pyb::module_& m) {
  pyb::object kdf_default = m.attr("hashes").attr("SHA384")();
  m.def(
      "KDF2",
      [](pyb::object x, pyb::object algorithm, pyb::object length) {
        velna::ByteView secret = velna::py::bytes_arg(x, "key_material");
        velna::HashKind kind = hash_kind(algorithm);
        if (!PyLong_Check(length.ptr())) velna::py::raise_type_error("length must be an integer");
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(length.ptr(), &overflow);
        if (n == -1 && PyErr_Occurred()) throw pyb::error_already_set();
        if (overflow < 0 || n < 0) velna::py::raise_value_error("length must be non-negative");
        // A length too large for a machine integer is beyond the KDF's limit
        // as well. The check runs on 64 bits, before the length is narrowed
        // to std::size_t (32 bits on armhf).
        std::uint64_t wanted = overflow > 0 ? std::numeric_limits<std::uint64_t>::max()
                                            : static_cast<std::uint64_t>(n);
        velna::kdf::check_x963_length(kind, wanted);
        if (wanted > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
        return to_bytes(velna::kdf::x963(kind, secret, {}, static_cast<std::size_t>(wanted)));
      },
      "Derives a key using X963 KDF.", "x"_a, "algorithm"_a = kdf_default, "length"_a = 32);
}

}  // namespace

PYBIND11_MODULE(crypto, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "Cryptographic foundation of velna.";

  // The package is registered before anything else runs, with its search
  // path, so that p384 can import it while it is still loading.
  auto sys = pyb::module_::import("sys");
  sys.attr("modules")["velna.crypto"] = m;
  auto velna_pkg = pyb::module_::import("velna");
  pyb::list path;
  path.append(pyb::str(velna_pkg.attr("__path__")[pyb::int_(0)]) + pyb::str("/crypto"));
  m.attr("__path__") = path;
  m.attr("__package__") = "velna.crypto";

  velna::py::bind_lazily(m, "logging", "logging");
  m.attr("hexlify") = pyb::module_::import("binascii").attr("hexlify");
  m.attr("partial") = pyb::module_::import("_functools").attr("partial");

  auto lib = pyb::module_::import("velna._cryptolib");
  m.attr("backend") = lib.attr("backend");
  m.attr("ec") = lib.attr("ec");
  m.attr("hashes") = lib.attr("hashes");
  m.attr("serialization") = lib.attr("serialization");
  m.attr("X963KDF") = lib.attr("X963KDF");
  m.attr("InvalidSignature") = lib.attr("InvalidSignature");
  hash_algorithm_class = velna::py::keep(lib.attr("hashes").attr("HashAlgorithm"));
  private_key_class = velna::py::keep(lib.attr("ec").attr("EllipticCurvePrivateKey"));
  public_key_class = velna::py::keep(lib.attr("ec").attr("EllipticCurvePublicKey"));

  m.attr("p384") = pyb::module_::import("velna.crypto.p384");
  m.attr("ecdsa") = pyb::module_::import("velna.crypto.ecdsa");

  velna::py::bind_lazily(m, "log", "logging", "getLogger", "velna.crypto");

  bind_digests(m);
  bind_fips(m);
  bind_serializers(m);
  bind_random(m);
  bind_KDF2(m);
}
