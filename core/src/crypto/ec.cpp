#include "velna/crypto/ec.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "internal/openssl.h"

namespace velna::ec {
namespace {

using internal::Bio;
using internal::check;
using internal::check_ptr;
using internal::EvpPkey;
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
  internal::OpensslText hex(check_ptr(BN_bn2hex(bn.get()), "BN_bn2hex"));
  return hex.get();
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

std::size_t field_size(Curve curve) { return static_cast<std::size_t>(info(curve).bits + 7) / 8; }

std::string Key::x_hex() const { return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_X); }
std::string Key::y_hex() const { return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_EC_PUB_Y); }

Bytes Key::to_point() const {
  std::size_t len = 0;
  check(EVP_PKEY_get_octet_string_param(pkey_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, nullptr, 0,
                                        &len),
        "EVP_PKEY_get_octet_string_param");
  Bytes point(len);
  check(EVP_PKEY_get_octet_string_param(pkey_.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                        point.data(), point.size(), &len),
        "EVP_PKEY_get_octet_string_param");
  point.resize(len);
  return point;
}

namespace {

enum class Form { PemPublic, DerPublic, PemPrivate, DerPrivate };

struct Loaded {
  EvpPkey key;
  Curve curve;
};

// load reads a key in |form|: InvalidArgument when the data is not such a
// key, UnsupportedAlgorithm when it is not an EC key on a supported curve.
Loaded load(ByteView data, Form form) {
  EvpPkey key;
  if (form == Form::DerPublic) {
    if (data.size() > static_cast<std::size_t>(LONG_MAX))
      throw InvalidArgument("Key data is too long.");
    const unsigned char* in = data.data();
    if (!data.empty()) key.reset(d2i_PUBKEY(nullptr, &in, static_cast<long>(data.size())));
  } else {
    Bio bio = memory_bio(data);
    switch (form) {
      case Form::PemPublic:
        key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, refuse_password, nullptr));
        break;
      case Form::PemPrivate:
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_password, nullptr));
        break;
      case Form::DerPrivate:
        key.reset(d2i_PrivateKey_bio(bio.get(), nullptr));
        break;
      case Form::DerPublic:
        break;
    }
  }
  if (!key) fail<InvalidArgument>("Could not deserialize key data.");
  Curve c = curve_of(key.get());
  internal::clear_errors();
  return {std::move(key), c};
}

}  // namespace

PublicKey PublicKey::from_pem(ByteView pem) {
  auto [key, curve] = load(pem, Form::PemPublic);
  return PublicKey(std::move(key), curve);
}

PublicKey PublicKey::from_der(ByteView der) {
  auto [key, curve] = load(der, Form::DerPublic);
  return PublicKey(std::move(key), curve);
}

namespace {

// from_params makes the key of |curve| from the parameters in |bld|:
// InvalidArgument when they are no such key, CryptoFailure when OpenSSL
// cannot make one at all.
EvpPkey from_params(Curve curve, OSSL_PARAM_BLD* bld, int selection) {
  check(
      OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, info(curve).openssl_name, 0),
      "OSSL_PARAM_BLD_push");
  internal::Params params(check_ptr(OSSL_PARAM_BLD_to_param(bld), "OSSL_PARAM_BLD_to_param"));
  internal::EvpPkeyCtx ctx(
      check_ptr(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "EVP_PKEY_CTX_new"));
  EVP_PKEY* p = nullptr;
  if (EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &p, selection, params.get()) != 1)
    fail<InvalidArgument>("Invalid EC key.");
  return EvpPkey(p);
}

}  // namespace

PublicKey PublicKey::from_point(Curve curve, ByteView point) {
  // Decoding the point refuses one off the curve, but takes the one-byte
  // encoding of the point at infinity. Every supported curve has cofactor 1,
  // so any other point on it generates the full prime-order group.
  if (point.empty() || point[0] == 0) fail<InvalidArgument>("Invalid EC key.");
  internal::ParamBld bld = internal::new_param_bld();
  check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()),
        "OSSL_PARAM_BLD_push");
  EvpPkey key = from_params(curve, bld.get(), EVP_PKEY_PUBLIC_KEY);
  internal::clear_errors();
  return PublicKey(std::move(key), curve);
}

PublicKey PublicKey::from_coordinates(Curve curve, ByteView x, ByteView y) {
  const std::size_t n = field_size(curve);
  if (x.size() > n || y.size() > n) fail<InvalidArgument>("Invalid EC key.");
  // The uncompressed SEC 1 point: 04 || x || y, each coordinate left-padded
  // to the field length.
  Bytes point(1 + 2 * n, 0);
  point[0] = 0x04;
  std::copy(x.begin(), x.end(), point.begin() + static_cast<std::ptrdiff_t>(1 + n - x.size()));
  std::copy(y.begin(), y.end(), point.end() - static_cast<std::ptrdiff_t>(y.size()));
  return from_point(curve, point);
}

Bytes PublicKey::encode(Encoding encoding) const {
  return encoding == Encoding::Pem ? to_pem() : to_der();
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
  internal::EvpMdCtx ctx = internal::new_md_ctx();
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
  EvpPkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", info(curve).openssl_name));
  if (!key) fail("OpenSSL failure: EC key generation");
  return PrivateKey(std::move(key), curve);
}

namespace {

// Der walks one DER element at a time; any deviation from the expected
// shape ends the walk (ok() false).
class Der {
 public:
  explicit Der(ByteView in) : in_(in) {}
  bool ok() const { return ok_; }
  bool done() const { return ok_ && in_.empty(); }
  bool next_is(std::uint8_t tag) const { return ok_ && !in_.empty() && in_[0] == tag; }
  // take returns the contents of the next element, which must carry |tag|
  // and a minimally encoded length that fits in what remains.
  ByteView take(std::uint8_t tag) {
    if (!ok_ || in_.size() < 2 || in_[0] != tag) return stop();
    std::size_t len = in_[1], head = 2;
    if (len == 0x81) {
      if (in_.size() < 3 || in_[2] < 0x80) return stop();
      len = in_[2], head = 3;
    } else if (len == 0x82) {
      if (in_.size() < 4) return stop();
      len = (std::size_t{in_[2]} << 8) | in_[3], head = 4;
      if (len < 0x100) return stop();
    } else if (len >= 0x80) {
      return stop();
    }
    if (len > in_.size() - head) return stop();
    ByteView out = in_.subspan(head, len);
    in_ = in_.subspan(head + len);
    return out;
  }
  bool expect(std::uint8_t tag, ByteView contents) {
    ByteView got = take(tag);
    if (ok_ &&
        (got.size() != contents.size() || !std::equal(got.begin(), got.end(), contents.begin())))
      stop();
    return ok_;
  }

 private:
  ByteView stop() {
    ok_ = false;
    return {};
  }
  ByteView in_;
  bool ok_ = true;
};

// The P-384 group order, big-endian.
constexpr std::uint8_t kP384Order[48] = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xc7, 0x63, 0x4d, 0x81, 0xf4, 0x37, 0x2d, 0xdf,
    0x58, 0x1a, 0x0d, 0xb2, 0x48, 0xb0, 0xa7, 0x7a, 0xec, 0xec, 0x19, 0x6a, 0xcc, 0xc5, 0x29, 0x73};

// p384_pkcs8_pair reads an unencrypted PKCS #8 P-384 key that carries its
// public point, as every writer of our key files stores it, and builds the
// key pair from the stored scalar and point without OpenSSL's decoder
// search. It returns null for any other input; the caller then takes the
// general path, so what is accepted or refused does not change.
EvpPkey p384_pkcs8_pair(ByteView der) {
  static constexpr std::uint8_t kZero[] = {0x00};
  static constexpr std::uint8_t kOne[] = {0x01};
  static constexpr std::uint8_t kEcKey[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};
  static constexpr std::uint8_t kSecp384r1[] = {0x2b, 0x81, 0x04, 0x00, 0x22};
  Der outer(der);
  Der info(outer.take(0x30));
  if (!outer.done()) return nullptr;
  info.expect(0x02, kZero);
  Der algorithm(info.take(0x30));
  algorithm.expect(0x06, kEcKey);
  algorithm.expect(0x06, kSecp384r1);
  if (!algorithm.done()) return nullptr;
  Der wrapped(info.take(0x04));
  if (!info.done()) return nullptr;  // attributes take the general path
  Der ec_key(wrapped.take(0x30));
  if (!wrapped.done()) return nullptr;
  ec_key.expect(0x02, kOne);
  ByteView scalar = ec_key.take(0x04);
  if (ec_key.next_is(0xa0)) {
    Der params(ec_key.take(0xa0));
    params.expect(0x06, kSecp384r1);
    if (!params.done()) return nullptr;
  }
  Der public_part(ec_key.take(0xa1));
  if (!ec_key.done()) return nullptr;
  ByteView bits = public_part.take(0x03);
  if (!public_part.done() || scalar.size() != 48 || bits.size() != 98 || bits[0] != 0 ||
      bits[1] != 4)
    return nullptr;
  // 0 < scalar < n, compared without an early exit.
  int below = 0, decided = 0, nonzero = 0;
  for (std::size_t i = 0; i < 48; ++i) {
    int a = scalar[i], b = kP384Order[i];
    int lt = (a < b) & !decided, gt = (a > b) & !decided;
    below |= lt;
    decided |= lt | gt;
    nonzero |= a;
  }
  if (!below || !nonzero) return nullptr;
  internal::Bignum priv(BN_secure_new());
  if (!priv || !BN_bin2bn(scalar.data(), 48, priv.get())) return nullptr;
  internal::ParamBld bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1 ||
      OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, bits.data() + 1, 97) !=
          1)
    return nullptr;
  EvpPkey key;
  try {
    key = from_params(Curve::P384, bld.get(), EVP_PKEY_KEYPAIR);
  } catch (const Error&) {
    return nullptr;
  }
  internal::EvpPkeyCtx check_ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check_ctx || EVP_PKEY_public_check_quick(check_ctx.get()) != 1) return nullptr;
  return key;
}

// Cleansed is the deleter of a buffer that OpenSSL allocated and that may
// hold a secret: it wipes the buffer's |size| bytes before freeing it (a
// length that Free<> has no place for).
struct Cleansed {
  std::size_t size = 0;
  void operator()(unsigned char* p) const noexcept { OPENSSL_clear_free(p, size); }
};

// pem_pkcs8_pair is p384_pkcs8_pair of the first PEM block when that block is
// an unencrypted "PRIVATE KEY" without headers.
EvpPkey pem_pkcs8_pair(ByteView pem) {
  Bio bio = memory_bio(pem);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* der = nullptr;
  long len = 0;
  const bool read = PEM_read_bio(bio.get(), &name, &header, &der, &len) == 1;
  internal::OpensslText name_text(name), header_text(header);
  std::unique_ptr<unsigned char, Cleansed> contents(der, Cleansed{static_cast<std::size_t>(len)});
  EvpPkey key;
  if (read && std::strcmp(name, "PRIVATE KEY") == 0 && header[0] == '\0' && len > 0)
    key = p384_pkcs8_pair({der, static_cast<std::size_t>(len)});
  internal::clear_errors();
  return key;
}

}  // namespace

PrivateKey PrivateKey::from_pem(ByteView pem) {
  if (EvpPkey fast = pem_pkcs8_pair(pem)) return PrivateKey(std::move(fast), Curve::P384);
  auto [key, curve] = load(pem, Form::PemPrivate);
  return PrivateKey(std::move(key), curve);
}

PrivateKey PrivateKey::from_der(ByteView der) {
  auto [key, curve] = load(der, Form::DerPrivate);
  return PrivateKey(std::move(key), curve);
}

PrivateKey PrivateKey::from_private_value(Curve curve, ByteView value) {
  if (value.size() > field_size(curve)) fail<InvalidArgument>("Invalid EC key.");
  internal::Bignum priv(
      check_ptr(BN_bin2bn(value.data(), static_cast<int>(value.size()), nullptr), "BN_bin2bn"));
  internal::EcGroup group(check_ptr(EC_GROUP_new_by_curve_name(info(curve).nid), "EC_GROUP_new"));
  if (BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0)
    fail<InvalidArgument>("Invalid EC key.");
  internal::EcPoint pub(check_ptr(EC_POINT_new(group.get()), "EC_POINT_new"));
  check(EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr),
        "EC_POINT_mul");
  std::size_t len = EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED,
                                       nullptr, 0, nullptr);
  Bytes point(len);
  EC_POINT_point2oct(group.get(), pub.get(), POINT_CONVERSION_UNCOMPRESSED, point.data(), len,
                     nullptr);
  internal::ParamBld bld = internal::new_param_bld();
  check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()),
        "OSSL_PARAM_BLD_push");
  check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                         point.size()),
        "OSSL_PARAM_BLD_push");
  EvpPkey key = from_params(curve, bld.get(), EVP_PKEY_KEYPAIR);
  internal::clear_errors();
  return PrivateKey(std::move(key), curve);
}

PrivateKey PrivateKey::from_numbers(Curve curve, ByteView value, ByteView x, ByteView y) {
  PrivateKey key = from_private_value(curve, value);
  if (!key.public_key().same_key(PublicKey::from_coordinates(curve, x, y)))
    fail<InvalidArgument>("Invalid EC key.");
  return key;
}

SecretBytes PrivateKey::encode(Encoding encoding) const {
  return encoding == Encoding::Pem ? to_pem() : to_der();
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
  // A new key made from the public point alone, so the public object holds
  // no private scalar. The point is this key's own: it needs no check.
  std::uint8_t point[1 + 2 * 66];
  std::size_t len = 0;
  check(EVP_PKEY_get_octet_string_param(pkey_.get(), OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point,
                                        &len),
        "EVP_PKEY_get_octet_string_param");
  internal::ParamBld bld = internal::new_param_bld();
  check(OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point, len),
        "OSSL_PARAM_BLD_push");
  EvpPkey key = from_params(curve_, bld.get(), EVP_PKEY_PUBLIC_KEY);
  internal::clear_errors();
  return PublicKey(std::move(key), curve_);
}

std::string PrivateKey::private_value_hex() const {
  return bn_param_hex(pkey_.get(), OSSL_PKEY_PARAM_PRIV_KEY);
}

Bytes PrivateKey::sign(HashKind kind, ByteView data) const {
  internal::EvpMdCtx ctx = internal::new_md_ctx();
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
