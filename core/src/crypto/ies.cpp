#include "velna/crypto/ies.h"

#include <cstring>
#include <limits>

#include "internal/openssl.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/kdf.h"

namespace velna::ies {
namespace {

constexpr std::size_t kU64 = 8;

// Strict front-to-back reader: every length is compared with what remains
// in 64-bit arithmetic before it is used, and any shortfall is the one
// failure of the scheme.
class StrictReader {
 public:
  explicit StrictReader(ByteView data) : data_(data) {}

  std::uint64_t u64() {
    ByteView b = take(kU64);
    std::uint64_t v = 0;
    for (std::size_t i = kU64; i-- > 0;) v = (v << 8) | b[i];
    return v;
  }

  ByteView take(std::uint64_t n) {
    if (n > static_cast<std::uint64_t>(data_.size() - pos_)) throw OpenFailure();
    ByteView v = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return v;
  }

  ByteView field() { return take(u64()); }
  ByteView before() const { return data_.first(pos_); }
  bool done() const { return pos_ == data_.size(); }

 private:
  ByteView data_;
  std::size_t pos_ = 0;
};

class Writer {
 public:
  void u64(std::uint64_t v) {
    for (std::size_t i = 0; i < kU64; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void raw(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void field(ByteView b) {
    u64(b.size());
    raw(b);
  }
  Bytes& bytes() { return out_; }

 private:
  Bytes out_;
};

void require_p384(const ec::Key& key, const char* role) {
  if (key.curve() != ec::Curve::P384)
    throw InvalidArgument(std::string(role) + " is not a P-384 key.");
}

bool is_uncompressed_point(ByteView b) { return b.size() == kPointSize && b[0] == 0x04; }

// Keys holds the AES and HMAC keys that the KDF derives, in one buffer.
struct Keys {
  SecretBytes material;
  ByteView cipher() const { return material.view().first(kCipherKeySize); }
  ByteView mac() const { return material.view().subspan(kCipherKeySize, kMacKeySize); }
};

Keys derive(const SecretBytes& shared, const ContainerId& id, ByteView ephemeral_point) {
  Bytes info;
  info.reserve(kIdSize + ephemeral_point.size());
  info.insert(info.end(), id.begin(), id.end());
  info.insert(info.end(), ephemeral_point.begin(), ephemeral_point.end());
  return {kdf::x963(HashKind::Sha384, shared, info, kCipherKeySize + kMacKeySize)};
}

}  // namespace

BlobView parse(ByteView blob) {
  StrictReader r(blob);
  BlobView b;
  b.version = r.u64();
  if (b.version != kVersion) throw OpenFailure();
  b.recipient_key_index = r.u64();
  b.sender_key_index = r.u64();
  ByteView id = r.take(kIdSize);
  std::memcpy(b.container_id.data(), id.data(), kIdSize);
  b.sender_public_key = r.field();
  b.ephemeral_public_key = r.field();
  if (!is_uncompressed_point(b.sender_public_key) || !is_uncompressed_point(b.ephemeral_public_key))
    throw OpenFailure();
  b.iv = r.field();
  if (b.iv.size() != kIvSize) throw OpenFailure();
  b.ciphertext = r.field();
  b.mac_part = r.before();
  b.mac = r.field();
  if (b.mac.size() != kMacSize) throw OpenFailure();
  b.signed_part = r.before();
  b.signature = r.field();
  if (!r.done()) throw OpenFailure();
  return b;
}

Bytes seal(ByteView plaintext, const ContainerId& container_id, const Sender& sender,
           const Recipient& recipient) {
  require_p384(sender.signing_key, "The sender's signing key");
  require_p384(recipient.derivation_key, "The recipient's derivation key");
  const ec::PrivateKey ephemeral = ec::PrivateKey::generate(ec::Curve::P384);
  const Bytes ephemeral_point = ephemeral.to_point();
  const Keys keys =
      derive(ephemeral.exchange(recipient.derivation_key), container_id, ephemeral_point);
  const aes::Iv iv = aes::make_iv();

  Writer w;
  w.u64(kVersion);
  w.u64(recipient.index);
  w.u64(sender.index);
  w.raw(container_id);
  w.field(sender.signing_key.to_point());
  w.field(ephemeral_point);
  w.field(iv);
  w.u64(plaintext.size());
  Bytes& out = w.bytes();
  const std::size_t at = out.size();
  out.resize(at + plaintext.size());
  aes::ctr_transform(keys.cipher(), iv, plaintext, out.data() + at);
  w.field(hmac::sha384(keys.mac(), out));
  w.field(sender.signing_key.sign(HashKind::Sha384, out));
  return std::move(out);
}

SecretBytes open(const BlobView& blob, const ec::PrivateKey& recipient_key,
                 const ec::PublicKey* expected_sender, const ContainerId* expected_id) {
  try {
    if (recipient_key.curve() != ec::Curve::P384) throw OpenFailure();
    if (expected_id && !constant_time_equal(*expected_id, blob.container_id)) throw OpenFailure();
    const ec::PublicKey sender = ec::PublicKey::from_point(ec::Curve::P384, blob.sender_public_key);
    if (expected_sender && !sender.same_key(*expected_sender)) throw OpenFailure();
    sender.verify(HashKind::Sha384, blob.signature, blob.signed_part);
    const ec::PublicKey ephemeral =
        ec::PublicKey::from_point(ec::Curve::P384, blob.ephemeral_public_key);
    const Keys keys =
        derive(recipient_key.exchange(ephemeral), blob.container_id, blob.ephemeral_public_key);
    hmac::verify_sha384(keys.mac(), blob.mac_part, blob.mac);
    SecretBytes plaintext(blob.ciphertext.size());
    aes::ctr_transform(keys.cipher(), blob.iv, blob.ciphertext, plaintext.data());
    return plaintext;
  } catch (const OpenFailure&) {
    throw;
  } catch (const Error&) {
    internal::clear_errors();
    throw OpenFailure();
  }
}

}  // namespace velna::ies
