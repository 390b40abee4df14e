#include "velna/crypto/ec.h"

#include <openssl/ec.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>

#include "internal/openssl.h"

namespace velna::ec {
namespace {

using internal::Bio;
using internal::check;
using internal::check_ptr;
using internal::fail;

struct CurveInfo {
  Curve curve;
  std::string_view name;
  const char* openssl_name;
  int nid;
  int bits;
};

constexpr CurveInfo kCurves[] = {
    {Curve::P256, "secp256r1", "prime256v1", NID_X9_62_prime256v1, 256},
    {Curve::P384, "secp384r1", "secp384r1", NID_secp384r1, 384},
    {Curve::P521, "secp521r1", "secp521r1", NID_secp521r1, 521}};

const CurveInfo& info(Curve curve) {
  for (const auto& c : kCurves)
    if (c.curve == curve) return c;
  throw InvalidArgument("Unsupported curve.");
}

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* p) { return {p, EVP_PKEY_free}; }

// curve_of accepts EC keys on a supported named curve.
Curve curve_of(EVP_PKEY* pkey) {
  if (EVP_PKEY_get_base_id(pkey) != EVP_PKEY_EC)
    fail<UnsupportedAlgorithm>("The key is not an elliptic-curve key.");
  char name[64] = {};
  std::size_t len = 0;
  if (EVP_PKEY_get_group_name(pkey, name, sizeof name, &len) != 1)
    fail<UnsupportedAlgorithm>("The key's curve is not a named curve.");
  std::string_view n(name, len);
  if (n == "prime256v1") n = "secp256r1";
  auto c = curve_from_name(n);
  if (!c) fail<UnsupportedAlgorithm>("The curve " + std::string(n) + " is not supported.");
  return *c;
}

Bio memory_bio(ByteView data) {
  if (data.size() > static_cast<std::size_t>(INT_MAX))
    throw InvalidArgument("Key data is too long.");
  static const std::uint8_t empty = 0;
  return Bio(
      check_ptr(BIO_new_mem_buf(data.empty() ? &empty : data.data(), static_cast<int>(data.size())),
                "BIO_new_mem_buf"));
}

Bio output_bio() { return Bio(check_ptr(BIO_new(BIO_s_mem()), "BIO_new")); }

template <typename Out>
Out drain(BIO* bio) {
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  Out out(static_cast<std::size_t>(len));
  if (len > 0) std::memcpy(out.data(), data, static_cast<std::size_t>(len));
  return out;
}

// Refuses to decrypt: an encrypted key fails instead of asking for a
// password on the terminal.
int refuse_password(char*, int, int, void*) { return -1; }

std::string bn_param_hex(EVP_PKEY* pkey, const char* param) {
  BIGNUM* raw = nullptr;
  check(EVP_PKEY_get_bn_param(pkey, param, &raw), "EVP_PKEY_get_bn_param");
  internal::Bignum bn(raw);
  char* hex = check_ptr(BN_bn2hex(bn.get()), "BN_bn2hex");
  std::string out(hex);
  OPENSSL_free(hex);
  return out;
}

}  // namespace

std::string_view curve_name(Curve curve) {
  for (const auto& c : kCurves)
    if (c.curve == curve) return c.name;
  return {};
}

std::optional<Curve> curve_from_name(std::string_view name) {
  for (const auto& c : kCurves)
    if (c.name == name) return c.curve;
  return std::nullopt;
}

int curve_bits(Curve curve) {
  for (const auto& c : kCurves)
    if (c.curve == curve) return c.bits;
  return 0;
}

std::string Key::x_hex() const { return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_X); }
std::string Key::y_hex() const { return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_Y); }

namespace {

enum class Form { PemPublic, DerPublic, PemPrivate, DerPrivate };

struct Loaded {
  std::shared_ptr<EVP_PKEY> key;
  Curve curve;
};

// load reads a key in |form|: InvalidArgument when the data is not such a
// key, UnsupportedAlgorithm when it is not an EC key on a supported curve.
Loaded load(ByteView data, Form form) {
  EVP_PKEY* p = nullptr;
  if (form == Form::DerPublic) {
    if (data.size() > static_cast<std::size_t>(LONG_MAX))
      throw InvalidArgument("Key data is too long.");
    const unsigned char* in = data.data();
    if (!data.empty()) p = d2i_PUBKEY(nullptr, &in, static_cast<long>(data.size()));
  } else {
    Bio bio = memory_bio(data);
    switch (form) {
      case Form::PemPublic:
        p = PEM_read_bio_PUBKEY(bio.get(), nullptr, refuse_password, nullptr);
        break;
      case Form::PemPrivate:
        p = PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_password, nullptr);
        break;
      case Form::DerPrivate:
        p = d2i_PrivateKey_bio(bio.get(), nullptr);
        break;
      case Form::DerPublic:
        break;
    }
  }
  if (!p) fail<InvalidArgument>("Could not deserialize key data.");
  auto key = share(p);
  Curve c = curve_of(p);
  internal::clear_errors();
  return {std::move(key), c};
}

}  // namespace

PublicKey PublicKey::from_pem(ByteView pem) {
  auto [key, curve] = load(pem, Form::PemPublic);
  return PublicKey(key, curve);
}

PublicKey PublicKey::from_der(ByteView der) {
  auto [key, curve] = load(der, Form::DerPublic);
  return PublicKey(key, curve);
}

namespace {

EVP_PKEY* from_params(Curve curve, OSSL_PARAM_BLD* bld, int selection) {
  check(
      OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, info(curve).openssl_name, 0),
      "OSSL_PARAM_BLD_push");
  OSSL_PARAM* params = check_ptr(OSSL_PARAM_BLD_to_param(bld), "OSSL_PARAM_BLD_to_param");
  internal::EvpPkeyCtx ctx(
      check_ptr(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "EVP_PKEY_CTX_new"));
  EVP_PKEY* p = nullptr;
  bool ok = EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
            EVP_PKEY_fromdata(ctx.get(), &p, selection, params) == 1;
  OSSL_PARAM_free(params);
  if (!ok) fail<InvalidArgument>("Invalid EC key.");
  return p;
}

using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, internal::Free<OSSL_PARAM_BLD_free>>;

}  // namespace

PublicKey PublicKey::from_point(Curve curve, ByteView point) {
  ParamBld bld(check_ptr(OSSL_PARAM_BLD_new(), "OSSL_PARAM_BLD_new"));
  check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()),
        "OSSL_PARAM_BLD_push");
  auto key = share(from_params(curve, bld.get(), EVP_PKEY_PUBLIC_KEY));
  // fromdata does not insist that the point lies on the curve.
  internal::EvpPkeyCtx check_ctx(
      check_ptr(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr), "EVP_PKEY_CTX_new"));
  if (EVP_PKEY_public_check(check_ctx.get()) != 1) fail<InvalidArgument>("Invalid EC key.");
  internal::clear_errors();
  return PublicKey(key, curve);
}

Bytes PublicKey::to_pem() const {
  Bio bio = output_bio();
  check(PEM_write_bio_PUBKEY(bio.get(), pkey_.get()), "PEM_write_bio_PUBKEY");
  return drain<Bytes>(bio.get());
}

Bytes PublicKey::to_der() const {
  Bio bio = output_bio();
  check(i2d_PUBKEY_bio(bio.get(), pkey_.get()), "i2d_PUBKEY_bio");
  return drain<Bytes>(bio.get());
}

void PublicKey::verify(HashKind kind, ByteView signature, ByteView data) const {
  internal::EvpMdCtx ctx(check_ptr(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
  check(EVP_DigestVerifyInit_ex(ctx.get(), nullptr, EVP_MD_get0_name(internal::md(kind)), nullptr,
                                nullptr, pkey_.get(), nullptr),
        "EVP_DigestVerifyInit");
  static const std::uint8_t empty = 0;
  int rc = EVP_DigestVerify(ctx.get(), signature.empty() ? &empty : signature.data(),
                            signature.size(), data.empty() ? &empty : data.data(), data.size());
  if (rc != 1) fail<InvalidSignature>("");
}

bool PublicKey::same_key(const PublicKey& other) const {
  return EVP_PKEY_eq(pkey_.get(), other.pkey_.get()) == 1;
}

PrivateKey PrivateKey::generate(Curve curve) {
  EVP_PKEY* p = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", info(curve).openssl_name);
  if (!p) fail("OpenSSL failure: EC key generation");
  return PrivateKey(share(p), curve);
}

PrivateKey PrivateKey::from_pem(ByteView pem) {
  auto [key, curve] = load(pem, Form::PemPrivate);
  return PrivateKey(key, curve);
}

PrivateKey PrivateKey::from_der(ByteView der) {
  auto [key, curve] = load(der, Form::DerPrivate);
  return PrivateKey(key, curve);
}

PrivateKey PrivateKey::from_private_value(Curve curve, ByteView value) {
  internal::Bignum priv(
      check_ptr(BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr), "BN_bin2bn"));
  using Group = std::unique_ptr<EC_GROUP, internal::Free<EC_GROUP_free>>;
  using Point = std::unique_ptr<EC_POINT, internal::Free<EC_POINT_free>>;
  Group group(check_ptr(EC_GROUP_new_by_curve_name(info(curve).nid), "EC_GROUP_new"));
  if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0)
    fail<InvalidArgument>("Invalid EC key.");
  Point pub(check_ptr(EC_POINT_new(group.get()), "EC_POINT_new"));
  check(EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr),
        "EC_POINT_mul");
  std::size_t len = EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED,
                                       nullptr, 0, nullptr);
  Bytes point(len);
  EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(), len,
                     nullptr);
  ParamBld bld(check_ptr(OSSL_PARAM_BLD_new(), "OSSL_PARAM_BLD_new"));
  check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()),
        "OSSL_PARAM_BLD_push");
  check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()),
        "OSSL_PARAM_BLD_push");
  auto key = share(from_params(curve, bld.get(), EVP_PKEY_KEYPAIR));
  internal::clear_errors();
  return PrivateKey(key, curve);
}

SecretBytes PrivateKey::to_pem() const {
  Bio bio = output_bio();
  check(
      PEM_write_bio_PKCS8PrivateKey(bio.get(), pkey_.get(), nullptr, nullptr, 0, nullptr, nullptr),
      "PEM_write_bio_PKCS8PrivateKey");
  auto out = drain<SecretBytes>(bio.get());
  return out;
}

SecretBytes PrivateKey::to_der() const {
  Bio bio = output_bio();
  check(i2d_PKCS8PrivateKey_bio(bio.get(), pkey_.get(), nullptr, nullptr, 0, nullptr, nullptr),
        "i2d_PKCS8PrivateKey_bio");
  return drain<SecretBytes>(bio.get());
}

PublicKey PrivateKey::public_key() const {
  // Round-trip through SubjectPublicKeyInfo so the public object holds no
  // private scalar.
  Bio bio = output_bio();
  check(i2d_PUBKEY_bio(bio.get(), pkey_.get()), "i2d_PUBKEY_bio");
  Bytes der = drain<Bytes>(bio.get());
  return PublicKey::from_der(der);
}

std::string PrivateKey::private_value_hex() const {
  return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_PRIV_KEY);
}

Bytes PrivateKey::sign(HashKind kind, ByteView data) const {
  internal::EvpMdCtx ctx(check_ptr(EVP_MD_CTX_new(), "EVP_MD_CTX_new"));
  check(EVP_DigestSignInit_ex(ctx.get(), nullptr, EVP_MD_get0_name(internal::md(kind)), nullptr,
                              nullptr, pkey_.get(), nullptr),
        "EVP_DigestSignInit");
  static const std::uint8_t empty = 0;
  const std::uint8_t* in = data.empty() ? &empty : data.data();
  std::size_t len = 0;
  check(EVP_DigestSign(ctx.get(), nullptr, &len, in, data.size()), "EVP_DigestSign");
  Bytes sig(len);
  check(EVP_DigestSign(ctx.get(), sig.data(), &len, in, data.size()), "EVP_DigestSign");
  sig.resize(len);
  return sig;
}

SecretBytes PrivateKey::exchange(const PublicKey& peer) const {
  if (peer.curve() != curve_)
    throw InvalidArgument("peer_public_key and self are not on the same curve");
  internal::EvpPkeyCtx ctx(
      check_ptr(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey_.get(), nullptr), "EVP_PKEY_CTX_new"));
  check(EVP_PKEY_derive_init(ctx.get()), "EVP_PKEY_derive_init");
  check(EVP_PKEY_derive_set_peer(ctx.get(), peer.pkey()), "EVP_PKEY_derive_set_peer");
  std::size_t len = 0;
  check(EVP_PKEY_derive(ctx.get(), nullptr, &len), "EVP_PKEY_derive");
  SecretBytes secret(len);
  check(EVP_PKEY_derive(ctx.get(), secret.data(), &len), "EVP_PKEY_derive");
  if (len != secret.size()) {
    SecretBytes trimmed(ByteView(secret.data(), len));
    return trimmed;
  }
  return secret;
}

}  // namespace velna::ec
