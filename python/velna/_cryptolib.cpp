// The cryptographic library of the package: hash algorithms and contexts,
// HMAC, elliptic-curve keys with ECDSA and ECDH, key serialisation, the X9.63
// KDF, PBKDF2 and the OpenSSL backend object, over the velna core. The
// modules of velna.crypto bind these objects; nothing else is public here.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <openssl/opensslv.h>

#include <limits>
#include <optional>
#include <string>

#include "velna/crypto/digest.h"
#include "velna/crypto/ec.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/kdf.h"
#include "velna/error.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
using velna::ByteView;
using velna::HashKind;
using velna::py::bytes_arg;
using velna::py::new_bytes;
using velna::py::to_bytes;

// Hash algorithm objects carry only their kind; name, digest_size and
// block_size are class attributes, so they read on the class as well.
struct HashAlgorithm {
  HashKind kind;
};
template <HashKind K>
struct HashAlgorithmOf : HashAlgorithm {
  HashAlgorithmOf() : HashAlgorithm{K} {}
};

HashKind hash_kind(pyb::handle algorithm) {
  if (!pyb::isinstance<HashAlgorithm>(algorithm))
    velna::py::raise_type_error("Expected instance of hashes.HashAlgorithm.");
  return algorithm.cast<HashAlgorithm&>().kind;
}

// An incremental context (velna::Hasher or velna::hmac::Mac) until it is
// finalized.
template <typename T>
struct Context {
  pyb::object algorithm;
  std::optional<T> state;
  T& live() {
    if (!state) throw velna::AlreadyFinalized("Context was already finalized.");
    return *state;
  }
  // take ends the context and hands over what it held.
  T take() {
    T done = std::move(live());
    state.reset();
    return done;
  }
};
using HashContext = Context<velna::Hasher>;
using HmacContext = Context<velna::hmac::Mac>;

// bind_context adds what hash and HMAC contexts share: algorithm, update,
// copy and finalize.
template <typename T>
void bind_context(pyb::class_<Context<T>>& c) {
  c.def_property_readonly("algorithm", [](Context<T>& h) { return h.algorithm; })
      .def(
          "update",
          [](Context<T>& h, pyb::object data) {
            ByteView v = bytes_arg(data, "data");
            T& state = h.live();
            velna::py::run_released(v.size(), [&] { state.update(v); });
          },
          "data"_a)
      .def("copy",
           [](Context<T>& h) {
             return Context<T>{h.algorithm, h.live().copy()};
           })
      .def("finalize", [](Context<T>& h) { return to_bytes(h.take().finalize()); });
}

struct EllipticCurve {
  velna::ec::Curve curve;
};
template <velna::ec::Curve C>
struct EllipticCurveOf : EllipticCurve {
  EllipticCurveOf() : EllipticCurve{C} {}
};

struct Ecdsa {
  pyb::object algorithm;
};
struct Ecdh {};
struct NoEncryption {};

using velna::ec::Encoding;
enum class PrivateFormat { PKCS8 };
enum class PublicFormat { SubjectPublicKeyInfo };

// Numbers are plain Python integers so that they compare and print as such.
struct PublicNumbers {
  pyb::int_ x, y;
  pyb::object curve;
};
struct PrivateNumbers {
  pyb::int_ private_value;
  PublicNumbers public_numbers;
};

struct X963Kdf {
  HashKind kind;
  std::size_t length;
  pyb::bytes sharedinfo;
  bool used = false;
};

struct Pbkdf2Hmac {
  HashKind kind;
  std::size_t length;
  pyb::bytes salt;
  std::uint32_t iterations;
  bool used = false;
};

PyObject* curves_module = nullptr;  // ec, kept for the life of the process

velna::ec::Curve curve_arg(pyb::handle curve) {
  if (!pyb::isinstance<EllipticCurve>(curve))
    velna::py::raise_type_error("curve must be an EllipticCurve instance");
  return curve.cast<EllipticCurve&>().curve;
}

pyb::object curve_object(velna::ec::Curve c) {
  const char* cls = c == velna::ec::Curve::P256   ? "SECP256R1"
                    : c == velna::ec::Curve::P384 ? "SECP384R1"
                                                  : "SECP521R1";
  return pyb::handle(curves_module).attr(cls)();
}

pyb::int_ int_from_hex(const std::string& hex) {
  PyObject* o = PyLong_FromString(hex.c_str(), nullptr, 16);
  if (!o) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::int_>(o);
}

// int_bytes is the big-endian form of a non-negative integer, as short as
// it can be; how long a coordinate or scalar may be is the core's rule.
velna::Bytes int_bytes(pyb::handle value) {
  if (!PyLong_Check(value.ptr())) velna::py::raise_type_error("Coordinates must be integers.");
  if (PyObject_RichCompareBool(value.ptr(), pyb::int_(0).ptr(), Py_LT) == 1)
    velna::py::raise_value_error("Coordinates must be positive.");
  const std::size_t bits = value.attr("bit_length")().cast<std::size_t>();
  pyb::bytes b = value.attr("to_bytes")((bits + 7) / 8, "big");
  auto v = velna::py::view_of(b);
  return velna::Bytes(v.begin(), v.end());
}

PublicNumbers public_numbers_of(const velna::ec::Key& key) {
  return {int_from_hex(key.x_hex()), int_from_hex(key.y_hex()), curve_object(key.curve())};
}

velna::ec::PublicKey public_key_from_numbers(const PublicNumbers& n) {
  auto c = curve_arg(n.curve);
  return velna::ec::PublicKey::from_coordinates(c, int_bytes(n.x), int_bytes(n.y));
}

HashKind ecdsa_hash(pyb::handle signature_algorithm) {
  if (!pyb::isinstance<Ecdsa>(signature_algorithm))
    throw velna::UnsupportedAlgorithm("Unsupported elliptic curve signature algorithm.");
  return hash_kind(signature_algorithm.cast<Ecdsa&>().algorithm);
}

void check_no_password(pyb::handle password) {
  if (!password.is_none()) velna::py::raise_type_error("Encrypted private keys are not supported.");
}

std::size_t length_arg(pyb::handle length) {
  if (!PyLong_Check(length.ptr())) velna::py::raise_type_error("length must be an integer");
  long long v = PyLong_AsLongLong(length.ptr());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    velna::py::raise_value_error("length is out of range");
  }
  if (v < 0) velna::py::raise_value_error("length must be non-negative");
  // Narrowing to std::size_t (32 bits on armhf) must not wrap.
  if (static_cast<unsigned long long>(v) > std::numeric_limits<std::size_t>::max())
    velna::py::raise_value_error("length is out of range");
  return static_cast<std::size_t>(v);
}

pyb::bytes optional_bytes(pyb::handle o, const char* name) {
  if (o.is_none()) return pyb::bytes("");
  bytes_arg(o, name);
  return pyb::reinterpret_borrow<pyb::bytes>(o);
}

// bind_hashes makes the submodule hashes: the hash algorithms and the incremental hash context.
void bind_hashes(pyb::module_& m) {
  auto hashes = m.def_submodule("hashes", "Hash algorithms and hash contexts.");
  pyb::class_<HashAlgorithm>(hashes, "HashAlgorithm", "Base class of the hash algorithms.");
  auto add_hash = [&](auto tag, const char* cls) {
    using T = decltype(tag);
    HashKind kind = T{}.kind;
    pyb::class_<T, HashAlgorithm> c(hashes, cls);
    c.def(pyb::init<>());
    c.attr("name") = std::string(velna::hash_name(kind));
    c.attr("digest_size") = velna::digest_size(kind);
    c.attr("block_size") = velna::block_size(kind);
    c.def("__repr__", [cls](pyb::handle) { return std::string("<") + cls + ">"; });
  };
  add_hash(HashAlgorithmOf<HashKind::Sha1>{}, "SHA1");
  add_hash(HashAlgorithmOf<HashKind::Sha224>{}, "SHA224");
  add_hash(HashAlgorithmOf<HashKind::Sha256>{}, "SHA256");
  add_hash(HashAlgorithmOf<HashKind::Sha384>{}, "SHA384");
  add_hash(HashAlgorithmOf<HashKind::Sha512>{}, "SHA512");

  pyb::class_<HashContext> hash(hashes, "Hash", "An incremental hash context.");
  hash.def(pyb::init([](pyb::object algorithm, pyb::object) {
             return HashContext{algorithm, velna::Hasher(hash_kind(algorithm))};
           }),
           "algorithm"_a, "backend"_a = pyb::none());
  bind_context(hash);
}

// bind_HMAC binds HMAC, an incremental HMAC context.
void bind_HMAC(pyb::module_& m) {
  pyb::class_<HmacContext> hmac(m, "HMAC", "An incremental HMAC context.");
  hmac.def(pyb::init([](pyb::object key, pyb::object algorithm, pyb::object) {
             ByteView k = bytes_arg(key, "key");
             return HmacContext{algorithm, velna::hmac::Mac(hash_kind(algorithm), k)};
           }),
           "key"_a, "algorithm"_a, "backend"_a = pyb::none());
  bind_context(hmac);
  hmac.def(
      "verify",
      [](HmacContext& h, pyb::object signature) {
        ByteView s = bytes_arg(signature, "signature");
        h.take().verify(s);
      },
      "signature"_a);
}

// bind_serialization makes the submodule serialization: the key encodings and formats.
void bind_serialization(pyb::module_& m) {
  auto ser = m.def_submodule("serialization", "Key serialisation formats.");
  pyb::enum_<Encoding>(ser, "Encoding").value("PEM", Encoding::Pem).value("DER", Encoding::Der);
  pyb::enum_<PrivateFormat>(ser, "PrivateFormat").value("PKCS8", PrivateFormat::PKCS8);
  pyb::enum_<PublicFormat>(ser, "PublicFormat")
      .value("SubjectPublicKeyInfo", PublicFormat::SubjectPublicKeyInfo);
  pyb::class_<NoEncryption>(ser, "NoEncryption").def(pyb::init<>());
}

// bind_curves binds the curves of ec, and the ECDSA and ECDH algorithm objects.
void bind_curves(pyb::module_& ec) {
  pyb::class_<EllipticCurve>(ec, "EllipticCurve", "Base class of the curves.");
  auto add_curve = [&](auto tag, const char* cls) {
    using T = decltype(tag);
    velna::ec::Curve c = T{}.curve;
    pyb::class_<T, EllipticCurve> k(ec, cls);
    k.def(pyb::init<>());
    k.attr("name") = std::string(velna::ec::curve_name(c));
    k.attr("key_size") = velna::ec::curve_bits(c);
    k.def("__repr__", [cls](pyb::handle) { return std::string("<") + cls + ">"; });
  };
  add_curve(EllipticCurveOf<velna::ec::Curve::P256>{}, "SECP256R1");
  add_curve(EllipticCurveOf<velna::ec::Curve::P384>{}, "SECP384R1");
  add_curve(EllipticCurveOf<velna::ec::Curve::P521>{}, "SECP521R1");

  pyb::class_<Ecdsa>(ec, "ECDSA", "ECDSA with the given hash algorithm.")
      .def(pyb::init([](pyb::object algorithm) {
             hash_kind(algorithm);
             return Ecdsa{algorithm};
           }),
           "algorithm"_a)
      .def_property_readonly("algorithm", [](Ecdsa& e) { return e.algorithm; });
  pyb::class_<Ecdh>(ec, "ECDH", "Raw elliptic-curve Diffie-Hellman.").def(pyb::init<>());
}

// bind_numbers binds the public and private numbers of elliptic-curve keys.
void bind_numbers(pyb::module_& ec) {
  pyb::class_<PublicNumbers>(ec, "EllipticCurvePublicNumbers")
      .def(pyb::init([](pyb::int_ x, pyb::int_ y, pyb::object curve) {
             curve_arg(curve);
             return PublicNumbers{x, y, curve};
           }),
           "x"_a, "y"_a, "curve"_a)
      .def_property_readonly("x", [](PublicNumbers& n) { return n.x; })
      .def_property_readonly("y", [](PublicNumbers& n) { return n.y; })
      .def_property_readonly("curve", [](PublicNumbers& n) { return n.curve; })
      .def(
          "public_key", [](PublicNumbers& n, pyb::object) { return public_key_from_numbers(n); },
          "backend"_a = pyb::none())
      .def(
          "__eq__",
          [](PublicNumbers& a, pyb::object other) -> pyb::object {
            if (!pyb::isinstance<PublicNumbers>(other))
              return pyb::reinterpret_borrow<pyb::object>(Py_NotImplemented);
            auto& b = other.cast<PublicNumbers&>();
            return pyb::bool_(a.x.equal(b.x) && a.y.equal(b.y) &&
                              pyb::str(a.curve.attr("name")).equal(pyb::str(b.curve.attr("name"))));
          })
      .def("__hash__",
           [](PublicNumbers& n) {
             return pyb::hash(pyb::make_tuple(n.curve.attr("name"), n.x, n.y));
           })
      .def("__repr__", [](PublicNumbers& n) {
        return "<EllipticCurvePublicNumbers(curve=" +
               pyb::str(n.curve.attr("name")).cast<std::string>() +
               ", x=" + pyb::str(n.x).cast<std::string>() +
               ", y=" + pyb::str(n.y).cast<std::string>() + ">";
      });

  pyb::class_<PrivateNumbers>(ec, "EllipticCurvePrivateNumbers")
      .def(pyb::init([](pyb::int_ private_value, PublicNumbers public_numbers) {
             return PrivateNumbers{private_value, public_numbers};
           }),
           "private_value"_a, "public_numbers"_a)
      .def_property_readonly("private_value", [](PrivateNumbers& n) { return n.private_value; })
      .def_property_readonly("public_numbers", [](PrivateNumbers& n) { return n.public_numbers; })
      .def(
          "private_key",
          [](PrivateNumbers& n, pyb::object) {
            const PublicNumbers& pub = n.public_numbers;
            auto c = curve_arg(pub.curve);
            velna::Bytes value = int_bytes(n.private_value);
            return velna::ec::PrivateKey::from_numbers(c, value, int_bytes(pub.x),
                                                       int_bytes(pub.y));
          },
          "backend"_a = pyb::none())
      .def("__eq__",
           [](PrivateNumbers& a, pyb::object other) -> pyb::object {
             if (!pyb::isinstance<PrivateNumbers>(other))
               return pyb::reinterpret_borrow<pyb::object>(Py_NotImplemented);
             auto& b = other.cast<PrivateNumbers&>();
             return pyb::bool_(a.private_value.equal(b.private_value) &&
                               pyb::cast(a.public_numbers).equal(pyb::cast(b.public_numbers)));
           })
      .def("__hash__", [](PrivateNumbers& n) {
        return pyb::hash(pyb::make_tuple(n.private_value, pyb::cast(n.public_numbers)));
      });
}

// bind_PublicKey binds EllipticCurvePublicKey.
void bind_PublicKey(pyb::module_& ec) {
  pyb::class_<velna::ec::PublicKey>(ec, "EllipticCurvePublicKey", pyb::is_final(),
                                    "An elliptic-curve public key.")
      .def_property_readonly("curve",
                             [](const velna::ec::PublicKey& k) { return curve_object(k.curve()); })
      .def_property_readonly(
          "key_size",
          [](const velna::ec::PublicKey& k) { return velna::ec::curve_bits(k.curve()); })
      .def("public_numbers", [](const velna::ec::PublicKey& k) { return public_numbers_of(k); })
      .def(
          "verify",
          [](const velna::ec::PublicKey& k, pyb::object signature, pyb::object data,
             pyb::object signature_algorithm) {
            ByteView sig = bytes_arg(signature, "signature");
            ByteView d = bytes_arg(data, "data");
            k.verify(ecdsa_hash(signature_algorithm), sig, d);
          },
          "signature"_a, "data"_a, "signature_algorithm"_a)
      .def(
          "public_bytes",
          [](const velna::ec::PublicKey& k, Encoding encoding, PublicFormat) {
            return to_bytes(k.encode(encoding));
          },
          "encoding"_a, "format"_a)
      .def_static(
          "from_encoded_point",
          [](pyb::object curve, pyb::object data) {
            return velna::ec::PublicKey::from_point(curve_arg(curve), bytes_arg(data, "data"));
          },
          "curve"_a, "data"_a);
}

// bind_PrivateKey binds EllipticCurvePrivateKey and the functions of ec that make one.
void bind_PrivateKey(pyb::module_& ec) {
  pyb::class_<velna::ec::PrivateKey>(ec, "EllipticCurvePrivateKey", pyb::is_final(),
                                     "An elliptic-curve private key.")
      .def_property_readonly("curve",
                             [](const velna::ec::PrivateKey& k) { return curve_object(k.curve()); })
      .def_property_readonly(
          "key_size",
          [](const velna::ec::PrivateKey& k) { return velna::ec::curve_bits(k.curve()); })
      .def("public_key", &velna::ec::PrivateKey::public_key)
      .def("private_numbers",
           [](const velna::ec::PrivateKey& k) {
             return PrivateNumbers{int_from_hex(k.private_value_hex()), public_numbers_of(k)};
           })
      .def(
          "sign",
          [](const velna::ec::PrivateKey& k, pyb::object data, pyb::object signature_algorithm) {
            ByteView d = bytes_arg(data, "data");
            const HashKind hash = ecdsa_hash(signature_algorithm);
            // A signature is long work whatever the length of |data|.
            return to_bytes(velna::py::run_without_gil([&] { return k.sign(hash, d); }));
          },
          "data"_a, "signature_algorithm"_a)
      .def(
          "exchange",
          [](const velna::ec::PrivateKey& k, pyb::object algorithm, pyb::object peer_public_key) {
            if (!pyb::isinstance<Ecdh>(algorithm))
              throw velna::UnsupportedAlgorithm(
                  "This backend does not support this elliptic curve exchange algorithm.");
            if (!pyb::isinstance<velna::ec::PublicKey>(peer_public_key))
              velna::py::raise_type_error("peer_public_key must be an EllipticCurvePublicKey");
            auto secret = k.exchange(peer_public_key.cast<velna::ec::PublicKey&>());
            return to_bytes(secret);
          },
          "algorithm"_a, "peer_public_key"_a)
      .def(
          "private_bytes",
          [](const velna::ec::PrivateKey& k, Encoding encoding, PrivateFormat,
             pyb::object encryption_algorithm) {
            if (!pyb::isinstance<NoEncryption>(encryption_algorithm))
              velna::py::raise_value_error("Only unencrypted private keys can be written.");
            return to_bytes(k.encode(encoding));
          },
          "encoding"_a, "format"_a, "encryption_algorithm"_a);

  ec.def(
      "generate_private_key",
      [](pyb::object curve, pyb::object) {
        return velna::ec::PrivateKey::generate(curve_arg(curve));
      },
      "curve"_a, "backend"_a = pyb::none());
  ec.def(
      "derive_private_key",
      [](pyb::object private_value, pyb::object curve, pyb::object) {
        auto c = curve_arg(curve);
        return velna::ec::PrivateKey::from_private_value(c, int_bytes(private_value));
      },
      "private_value"_a, "curve"_a, "backend"_a = pyb::none());
}

// bind_kdfs binds the key derivation functions X963KDF and PBKDF2HMAC.
void bind_kdfs(pyb::module_& m) {
  pyb::class_<X963Kdf>(m, "X963KDF", "The ANSI X9.63 key derivation function.")
      .def(pyb::init(
               [](pyb::object algorithm, pyb::object length, pyb::object sharedinfo, pyb::object) {
                 HashKind kind = hash_kind(algorithm);
                 std::size_t n = length_arg(length);
                 velna::kdf::check_x963_length(kind, n);
                 return X963Kdf{kind, n, optional_bytes(sharedinfo, "sharedinfo")};
               }),
           "algorithm"_a, "length"_a, "sharedinfo"_a, "backend"_a = pyb::none())
      .def(
          "derive",
          [](X963Kdf& k, pyb::object key_material) {
            ByteView secret = bytes_arg(key_material, "key_material");
            if (k.used) throw velna::AlreadyFinalized("X963KDF instances can only be used once.");
            k.used = true;
            return to_bytes(
                velna::kdf::x963(k.kind, secret, velna::py::view_of(k.sharedinfo), k.length));
          },
          "key_material"_a);

  pyb::class_<Pbkdf2Hmac>(m, "PBKDF2HMAC", "PBKDF2 with HMAC as the pseudorandom function.")
      .def(pyb::init([](pyb::object algorithm, pyb::object length, pyb::object salt,
                        pyb::object iterations, pyb::object) {
             HashKind kind = hash_kind(algorithm);
             std::size_t n = length_arg(length);
             bytes_arg(salt, "salt");
             std::uint32_t it = velna::kdf::pbkdf2_iterations(length_arg(iterations));
             return Pbkdf2Hmac{kind, n, pyb::reinterpret_borrow<pyb::bytes>(salt), it};
           }),
           "algorithm"_a, "length"_a, "salt"_a, "iterations"_a, "backend"_a = pyb::none())
      .def(
          "derive",
          [](Pbkdf2Hmac& k, pyb::object key_material) {
            ByteView secret = bytes_arg(key_material, "key_material");
            if (k.used) throw velna::AlreadyFinalized("PBKDF2 instances can only be used once.");
            k.used = true;
            ByteView salt = velna::py::view_of(k.salt);
            // Always long: the work is the iteration count, not the input.
            velna::SecretBytes out = velna::py::run_without_gil([&] {
              return velna::kdf::pbkdf2_hmac(k.kind, secret, salt, k.iterations, k.length);
            });
            return to_bytes(out);
          },
          "key_material"_a);
}

// bind_Backend binds the backend object: key loaders that return the objects above.
void bind_Backend(pyb::module_& m) {
  struct Backend {};
  pyb::class_<Backend>(m, "Backend", "The OpenSSL backend.")
      .def_property_readonly("name", [](Backend&) { return "openssl"; })
      .def("openssl_version_text", [](Backend&) { return std::string(OPENSSL_VERSION_TEXT); })
      .def(
          "load_pem_public_key",
          [](Backend&, pyb::object data) {
            return velna::ec::PublicKey::from_pem(bytes_arg(data, "data"));
          },
          "data"_a)
      .def(
          "load_der_public_key",
          [](Backend&, pyb::object data) {
            return velna::ec::PublicKey::from_der(bytes_arg(data, "data"));
          },
          "data"_a)
      .def(
          "load_pem_private_key",
          [](Backend&, pyb::object data, pyb::object password) {
            ByteView d = bytes_arg(data, "data");
            check_no_password(password);
            return velna::ec::PrivateKey::from_pem(d);
          },
          "data"_a, "password"_a)
      .def(
          "load_der_private_key",
          [](Backend&, pyb::object data, pyb::object password) {
            ByteView d = bytes_arg(data, "data");
            check_no_password(password);
            return velna::ec::PrivateKey::from_der(d);
          },
          "data"_a, "password"_a);
  m.attr("backend") = Backend{};
}

}  // namespace

PYBIND11_MODULE(_cryptolib, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The package's cryptographic library over OpenSSL.";

  velna::py::define_error(m, "InvalidSignature", "A signature or MAC that does not verify.");
  velna::py::define_error(m, "AlreadyFinalized", "A single-use object was used a second time.");
  velna::py::define_error(m, "UnsupportedAlgorithm",
                          "An algorithm or key type that is not supported.");
  velna::py::define_error(m, "ParseError", "Binary data that ends before a field is complete.");
  velna::py::define_error(m, "BuildError", "A record that cannot be written in its binary layout.");

  bind_hashes(m);
  bind_HMAC(m);
  bind_serialization(m);
  auto ec = m.def_submodule("ec", "Elliptic-curve keys, ECDSA and ECDH.");
  curves_module = velna::py::keep(ec);
  bind_curves(ec);
  bind_numbers(ec);
  bind_PublicKey(ec);
  bind_PrivateKey(ec);
  bind_kdfs(m);
  bind_Backend(m);
}
