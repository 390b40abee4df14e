#include "velna/crypto/container.h"

#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <utility>

#include "internal/layout.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/random.h"
#include "velna/error.h"
#include "velna/log.h"

namespace velna::container {
namespace {

using internal::kU64;
using internal::load_u64;
using internal::Reader;
using internal::store_bytes;
using internal::store_u64;

std::uint8_t* store_preamble(std::uint8_t* p, const Preamble& preamble) {
  p = store_u64(p, preamble.version);
  p = store_bytes(p, preamble.oid);
  p = store_u64(p, preamble.cipher_index);
  p = store_u64(p, preamble.mac_index);
  p = store_u64(p, preamble.header_length);
  return store_u64(p, preamble.content_length);
}

// checked_sum adds sizes of a record to be written; a record larger than the
// address space cannot be written.
std::size_t checked_sum(std::initializer_list<std::size_t> parts) {
  std::size_t total = 0;
  for (std::size_t part : parts) {
    if (part > std::numeric_limits<std::size_t>::max() - total)
      throw BuildError("Container record too large to write.");
    total += part;
  }
  return total;
}

void check_room(MutableByteView out, std::size_t needed) {
  if (out.size() < needed)
    throw InvalidArgument("Output buffer of " + std::to_string(out.size()) +
                          " bytes is too small for " + std::to_string(needed) + " bytes.");
}

SectionView read_section(ByteView data, const char* layout) {
  Reader r(data, layout);
  SectionView s;
  const auto& f = kSectionFields;
  s.iv = r.bytes(r.u64(f[0]), f[1]);
  s.encrypted = r.bytes(r.u64(f[2]), f[3]);
  s.digest = r.bytes(r.u64(f[4]), f[5]);
  s.bytes = r.consumed();
  return s;
}

std::uint8_t* put_section(std::uint8_t* p, const SectionView& s) {
  p = store_u64(p, s.iv.size());
  p = store_bytes(p, s.iv);
  p = store_u64(p, s.encrypted.size());
  p = store_bytes(p, s.encrypted);
  p = store_u64(p, s.digest.size());
  return store_bytes(p, s.digest);
}

}  // namespace

Oid uuid_to_bytes_le(const Oid& uuid) {
  Oid out = uuid;
  std::swap(out[0], out[3]);
  std::swap(out[1], out[2]);
  std::swap(out[4], out[5]);
  std::swap(out[6], out[7]);
  return out;
}

Oid uuid_from_bytes_le(const Oid& bytes_le) { return uuid_to_bytes_le(bytes_le); }

Oid oid_from(ByteView bytes) {
  if (bytes.size() != kOidSize) throw BuildError("oid must be 16 bytes");
  Oid oid;
  std::memcpy(oid.data(), bytes.data(), kOidSize);
  return oid;
}

Oid uuid4_from(Oid random) {
  random[6] = static_cast<std::uint8_t>((random[6] & 0x0f) | 0x40);
  random[8] = static_cast<std::uint8_t>((random[8] & 0x3f) | 0x80);
  return random;
}

Oid new_uuid4() {
  Oid random;
  fill_random(random);
  return uuid4_from(random);
}

// --- Section -----------------------------------------------------------------

std::size_t section_size(std::size_t plaintext_size) {
  return checked_sum({kSectionOverhead, plaintext_size});
}

std::size_t section_size(const SectionView& fields) {
  return checked_sum({3 * kU64, fields.iv.size(), fields.encrypted.size(), fields.digest.size()});
}

SectionView parse_section(ByteView data) { return read_section(data, "Container section"); }

std::size_t write_section(const SectionView& fields, MutableByteView out) {
  const std::size_t size = section_size(fields);
  check_room(out, size);
  put_section(out.data(), fields);
  return size;
}

Bytes build_section(const SectionView& fields) {
  Bytes out(section_size(fields));
  write_section(fields, out);
  return out;
}

// --- Container blob --------------------------------------------------------

Preamble make_preamble(const Oid& oid_bytes_le, std::uint64_t header_section_size,
                       std::uint64_t content_section_size) {
  Preamble p;
  p.version = kVersion;
  p.oid = oid_bytes_le;
  p.cipher_index = 0;
  p.mac_index = 0;
  p.header_length = header_section_size;
  p.content_length = content_section_size;
  return p;
}

std::size_t blob_size(std::size_t header_size, std::size_t content_size) {
  return checked_sum({kBlobOverhead, header_size, content_size});
}

std::size_t blob_size(const SectionView& header, const SectionView& content) {
  return checked_sum({kPreambleSize, section_size(header), section_size(content)});
}

BlobView parse_blob(ByteView data) {
  Reader r(data, "Container blob");
  BlobView b;
  const auto& f = kPreambleFields;
  b.preamble.version = r.u64(f[0]);
  ByteView oid = r.bytes(kOidSize, f[1]);
  std::memcpy(b.preamble.oid.data(), oid.data(), kOidSize);
  b.preamble.cipher_index = r.u64(f[2]);
  b.preamble.mac_index = r.u64(f[3]);
  b.preamble.header_length = r.u64(f[4]);
  b.preamble.content_length = r.u64(f[5]);
  // The preamble's lengths are informational only; each section's extent
  // comes from its own length fields.
  b.header = read_section(r.rest(), "Container blob header section");
  r.skip(b.header.size());
  b.content = read_section(r.rest(), "Container blob content section");
  r.skip(b.content.size());
  b.bytes = r.consumed();
  return b;
}

std::size_t write_blob(const Preamble& preamble, const SectionView& header,
                       const SectionView& content, MutableByteView out) {
  const std::size_t size = blob_size(header, content);
  check_room(out, size);
  std::uint8_t* p = out.data();
  p = store_preamble(p, preamble);
  p = put_section(p, header);
  put_section(p, content);
  return size;
}

Bytes build_blob(const Preamble& preamble, const SectionView& header, const SectionView& content) {
  Bytes out(blob_size(header, content));
  write_blob(preamble, header, content, out);
  return out;
}

// --- Container key blob ----------------------------------------------------

std::size_t key_blob_size(std::size_t cipher_key_size, std::size_t mac_key_size) {
  return checked_sum({kKeyBlobOverhead, cipher_key_size, mac_key_size});
}

KeyBlobView parse_key_blob(ByteView data) {
  Reader r(data, "Container key blob");
  KeyBlobView k;
  const auto& f = kKeyBlobFields;
  k.version = r.u64(f[0]);
  k.cipher_index = r.u64(f[1]);
  const std::uint64_t cipher_key_length = r.u64(f[2]);
  if (cipher_key_length == 0) throw ParseError("Container key blob: cipher_key is empty.");
  k.cipher_key = r.bytes(cipher_key_length, f[3]);
  k.mac_index = r.u64(f[4]);
  const std::uint64_t mac_key_length = r.u64(f[5]);
  if (mac_key_length == 0) throw ParseError("Container key blob: mac_key is empty.");
  k.mac_key = r.bytes(mac_key_length, f[6]);
  k.bytes = r.consumed();
  return k;
}

std::size_t write_key_blob(std::uint64_t cipher_index, ByteView cipher_key, std::uint64_t mac_index,
                           ByteView mac_key, MutableByteView out) {
  if (cipher_key.empty() || mac_key.empty())
    throw BuildError("Container key blob needs a non-empty cipher key and MAC key.");
  const std::size_t size = key_blob_size(cipher_key.size(), mac_key.size());
  check_room(out, size);
  std::uint8_t* p = out.data();
  p = store_u64(p, kKeyBlobVersion);
  p = store_u64(p, cipher_index);
  p = store_u64(p, cipher_key.size());
  p = store_bytes(p, cipher_key);
  p = store_u64(p, mac_index);
  p = store_u64(p, mac_key.size());
  store_bytes(p, mac_key);
  return size;
}

Bytes build_key_blob(std::uint64_t cipher_index, ByteView cipher_key, std::uint64_t mac_index,
                     ByteView mac_key) {
  if (cipher_key.empty() || mac_key.empty())
    throw BuildError("Container key blob needs a non-empty cipher key and MAC key.");
  Bytes out(key_blob_size(cipher_key.size(), mac_key.size()));
  write_key_blob(cipher_index, cipher_key, mac_index, mac_key, out);
  return out;
}

// --- Section encryption ----------------------------------------------------

namespace {

// write_encrypted_section writes one section for |plaintext| at |p| under a
// keyed cipher and MAC, the ciphertext straight into its place and the
// digest over it in place. The caller has checked the room.
std::uint8_t* write_encrypted_section(aes::Ctr& ctr, hmac::Mac& mac, ByteView iv,
                                      ByteView plaintext, std::uint8_t* p) {
  p = store_u64(p, iv.size());
  p = store_bytes(p, iv);
  p = store_u64(p, plaintext.size());
  std::uint8_t* ciphertext = p;
  if (!plaintext.empty()) ctr.transform(iv, plaintext, ciphertext);
  p += plaintext.size();
  p = store_u64(p, hmac::kSha384TagSize);
  mac.update(ByteView(ciphertext, plaintext.size()));
  mac.finalize_into(p);
  return p + hmac::kSha384TagSize;
}

}  // namespace

std::size_t encrypt_section_with_iv(ByteView cipher_key, ByteView mac_key, ByteView iv,
                                    ByteView plaintext, MutableByteView out) {
  const std::size_t size =
      checked_sum({3 * kU64, iv.size(), plaintext.size(), hmac::kSha384TagSize});
  check_room(out, size);
  // Refuse a bad key or IV before the output holds anything.
  aes::check_parameters(cipher_key, iv);
  aes::Ctr ctr(cipher_key);
  hmac::Mac mac(HashKind::Sha384, mac_key);
  write_encrypted_section(ctr, mac, iv, plaintext, out.data());
  return size;
}

Bytes encrypt_section_with_iv(ByteView cipher_key, ByteView mac_key, ByteView iv,
                              ByteView plaintext) {
  Bytes out(checked_sum({3 * kU64, iv.size(), plaintext.size(), hmac::kSha384TagSize}));
  encrypt_section_with_iv(cipher_key, mac_key, iv, plaintext, out);
  return out;
}

std::size_t encrypt_section(ByteView cipher_key, ByteView mac_key, ByteView plaintext,
                            MutableByteView out) {
  check_room(out, section_size(plaintext.size()));
  const aes::Iv iv = aes::make_iv();
  return encrypt_section_with_iv(cipher_key, mac_key, iv, plaintext, out);
}

Bytes encrypt_section(ByteView cipher_key, ByteView mac_key, ByteView plaintext) {
  Bytes out(section_size(plaintext.size()));
  encrypt_section(cipher_key, mac_key, plaintext, out);
  return out;
}

std::size_t encrypt_blob(const Oid& oid_bytes_le, ByteView cipher_key, ByteView mac_key,
                         ByteView header_plaintext, ByteView content_plaintext,
                         MutableByteView out) {
  const std::size_t hs = section_size(header_plaintext.size());
  const std::size_t cs = section_size(content_plaintext.size());
  const std::size_t size = checked_sum({kPreambleSize, hs, cs});
  check_room(out, size);
  aes::Ctr ctr(cipher_key);
  hmac::Mac mac(HashKind::Sha384, mac_key);
  // Both nonces come from one draw: each is fresh random bytes all the same.
  std::array<std::uint8_t, 2 * aes::kNonceLength> nonces;
  fill_random(nonces);
  aes::Iv header_iv{}, content_iv{};
  std::memcpy(header_iv.data(), nonces.data(), aes::kNonceLength);
  std::memcpy(content_iv.data(), nonces.data() + aes::kNonceLength, aes::kNonceLength);

  const Preamble pre = make_preamble(oid_bytes_le, hs, cs);
  std::uint8_t* p = out.data();
  p = store_preamble(p, pre);
  p = write_encrypted_section(ctr, mac, header_iv, header_plaintext, p);
  mac.reset();
  write_encrypted_section(ctr, mac, content_iv, content_plaintext, p);
  return size;
}

Bytes encrypt_blob(const Oid& oid_bytes_le, ByteView cipher_key, ByteView mac_key,
                   ByteView header_plaintext, ByteView content_plaintext) {
  Bytes out(blob_size(header_plaintext.size(), content_plaintext.size()));
  encrypt_blob(oid_bytes_le, cipher_key, mac_key, header_plaintext, content_plaintext, out);
  return out;
}

bool section_digest_matches(ByteView mac_key, const SectionView& section) {
  try {
    hmac::verify_sha384(mac_key, section.encrypted, section.digest);
  } catch (const InvalidSignature&) {
    return false;
  }
  return true;
}

std::size_t decrypt_section(ByteView cipher_key, ByteView mac_key, const SectionView& section,
                            MutableByteView out) {
  check_room(out, section.encrypted.size());
  if (!section_digest_matches(mac_key, section)) {
    log::write(kLogger, log::Level::Error, kDigestFailure);
    throw DecryptionError(std::string(kDigestFailure));
  }
  if (section.encrypted.empty()) {
    // Nothing to transform, but a key or IV AES refuses is refused all the same.
    aes::check_parameters(cipher_key, section.iv);
    return 0;
  }
  aes::ctr_transform(cipher_key, section.iv, section.encrypted, out.data());
  return section.encrypted.size();
}

Bytes decrypt_section(ByteView cipher_key, ByteView mac_key, const SectionView& section) {
  // The size comes from a parsed view, so it never exceeds the input.
  Bytes out(section.encrypted.size());
  decrypt_section(cipher_key, mac_key, section, out);
  return out;
}

}  // namespace velna::container
