// Elliptic-curve keys on the NIST prime curves: generation, PEM/DER
// serialisation, ECDSA and ECDH, through OpenSSL.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velna/bytes.h"
#include "velna/crypto/digest.h"

struct evp_pkey_st;

namespace velna::ec {

enum class Curve { P256, P384, P521 };

// curve_name is the SEC 2 name ("secp384r1").
std::string_view curve_name(Curve curve);
std::optional<Curve> curve_from_name(std::string_view name);
int curve_bits(Curve curve);
// field_size is the length in bytes of a coordinate (and of a scalar) of
// |curve|: 32, 48 or 66.
std::size_t field_size(Curve curve);

// Encoding is the form a key is written in: PEM text or DER bytes.
enum class Encoding { Pem, Der };

// Key is the shared handle of one OpenSSL key; copies share the key.
class Key {
 public:
  Curve curve() const { return curve_; }
  evp_pkey_st* pkey() const { return pkey_.get(); }
  // x_hex and y_hex give the public point's coordinates, big-endian hex.
  std::string x_hex() const;
  std::string y_hex() const;
  // to_point is the public point as an uncompressed SEC 1 octet string
  // (04 || x || y), cheaper to write than SubjectPublicKeyInfo.
  Bytes to_point() const;

 protected:
  Key(std::shared_ptr<evp_pkey_st> pkey, Curve curve) : pkey_(std::move(pkey)), curve_(curve) {}
  std::shared_ptr<evp_pkey_st> pkey_;
  Curve curve_;
};

class PublicKey : public Key {
 public:
  // Loaders fail with InvalidArgument for malformed input and with
  // UnsupportedAlgorithm for a key that is not on a supported EC curve.
  static PublicKey from_pem(ByteView pem);
  static PublicKey from_der(ByteView der);
  // from_point builds a key from a SEC 1 point (04 || x || y, or
  // compressed); InvalidArgument when the point is not on |curve| or is the
  // point at infinity. On these prime-order curves that is the whole public
  // key check, and much cheaper than SubjectPublicKeyInfo decoding.
  static PublicKey from_point(Curve curve, ByteView point);
  // from_coordinates builds a key from its big-endian coordinates, each at
  // most field_size(curve) bytes (a shorter one stands for its value with
  // leading zeros); InvalidArgument for a longer one or a point that is not
  // on |curve|.
  static PublicKey from_coordinates(Curve curve, ByteView x, ByteView y);

  // SubjectPublicKeyInfo (RFC 5280), PEM ("PUBLIC KEY") or DER.
  Bytes to_pem() const;
  Bytes to_der() const;
  Bytes encode(Encoding encoding) const;

  // verify checks a DER ECDSA signature over |data| hashed with |kind|;
  // InvalidSignature when it does not verify.
  void verify(HashKind kind, ByteView signature, ByteView data) const;

  bool same_key(const PublicKey& other) const;

 private:
  friend class PrivateKey;
  using Key::Key;
};

class PrivateKey : public Key {
 public:
  static PrivateKey generate(Curve curve);
  // from_pem reads an unencrypted private key; an encrypted one is refused
  // with InvalidArgument and never prompts for a password.
  static PrivateKey from_pem(ByteView pem);
  static PrivateKey from_der(ByteView der);
  // from_private_value builds the key whose scalar is the big-endian
  // |value| of at most field_size(curve) bytes; InvalidArgument when it is
  // longer or not in [1, n-1].
  static PrivateKey from_private_value(Curve curve, ByteView value);
  // from_numbers builds the key of scalar |value| that must belong to the
  // public point (x, y) (as from_coordinates reads them); InvalidArgument
  // when either is invalid or they are not one key.
  static PrivateKey from_numbers(Curve curve, ByteView value, ByteView x, ByteView y);

  // Unencrypted PKCS #8 PrivateKeyInfo, PEM ("PRIVATE KEY") or DER.
  SecretBytes to_pem() const;
  SecretBytes to_der() const;
  SecretBytes encode(Encoding encoding) const;

  PublicKey public_key() const;
  std::string private_value_hex() const;

  // sign makes a DER ECDSA signature over |data| hashed with |kind|.
  Bytes sign(HashKind kind, ByteView data) const;

  // exchange is the raw ECDH shared secret (the x-coordinate, field length);
  // InvalidArgument when |peer| lies on another curve.
  SecretBytes exchange(const PublicKey& peer) const;

 private:
  using Key::Key;
};

}  // namespace velna::ec
