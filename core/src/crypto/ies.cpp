#include "velna/crypto/ies.h"

#include <cstring>
#include <limits>

#include "internal/layout.h"
#include "internal/openssl.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/kdf.h"

namespace velna::ies {
namespace {

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
  BlobView b;
  try {
    internal::Reader r(blob, "Recipient key blob");
    auto field = [&r](const char* name) { return r.bytes(r.u64(name), name); };
    b.version = r.u64("version");
    b.recipient_key_index = r.u64("recipient_key_index");
    b.sender_key_index = r.u64("sender_key_index");
    ByteView id = r.bytes(kIdSize, "container_id");
    std::memcpy(b.container_id.data(), id.data(), kIdSize);
    b.sender_public_key = field("sender_public_key");
    b.ephemeral_public_key = field("ephemeral_public_key");
    b.iv = field("iv");
    b.ciphertext = field("ciphertext");
    b.mac_part = r.consumed();
    b.mac = field("mac");
    b.signed_part = r.consumed();
    b.signature = field("signature");
    if (!r.rest().empty()) throw OpenFailure();
  } catch (const ParseError&) {
    throw OpenFailure();
  }
  if (b.version != kVersion || !is_uncompressed_point(b.sender_public_key) ||
      !is_uncompressed_point(b.ephemeral_public_key) || b.iv.size() != kIvSize ||
      b.mac.size() != kMacSize)
    throw OpenFailure();
  return b;
}

Bytes seal(ByteView plaintext, const ContainerId& container_id, const Sender& sender,
           const Recipient& recipient) {
  require_p384(sender.signing_key, "The sender's signing key");
  require_p384(recipient.derivation_key, "The recipient's derivation key");
  if (plaintext.size() > std::numeric_limits<std::size_t>::max() / 2)
    throw InvalidArgument("The data is too long to seal.");
  const ec::PrivateKey ephemeral = ec::PrivateKey::generate(ec::Curve::P384);
  const Bytes ephemeral_point = ephemeral.to_point();
  const Bytes sender_point = sender.signing_key.to_point();
  const Keys keys =
      derive(ephemeral.exchange(recipient.derivation_key), container_id, ephemeral_point);
  const aes::Iv iv = aes::make_iv();

  using internal::kU64;
  using internal::store_bytes;
  using internal::store_u64;
  const std::size_t mac_at = 3 * kU64 + kIdSize + 4 * kU64 + sender_point.size() +
                             ephemeral_point.size() + iv.size() + plaintext.size();
  Bytes out(mac_at + kU64 + kMacSize);
  std::uint8_t* p = out.data();
  p = store_u64(p, kVersion);
  p = store_u64(p, recipient.index);
  p = store_u64(p, sender.index);
  p = store_bytes(p, container_id);
  for (ByteView field : {ByteView(sender_point), ByteView(ephemeral_point), ByteView(iv)}) {
    p = store_u64(p, field.size());
    p = store_bytes(p, field);
  }
  p = store_u64(p, plaintext.size());
  aes::ctr_transform(keys.cipher(), iv, plaintext, p);
  p = store_u64(p + plaintext.size(), kMacSize);
  hmac::sha384(keys.mac(), ByteView(out).first(mac_at), p);
  const Bytes signature = sender.signing_key.sign(HashKind::Sha384, out);
  const std::size_t signed_size = out.size();
  out.resize(signed_size + kU64 + signature.size());
  store_bytes(store_u64(out.data() + signed_size, signature.size()), signature);
  return out;
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
