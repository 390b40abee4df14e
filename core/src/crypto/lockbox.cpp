#include "velna/crypto/lockbox.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <string>

#include "internal/layout.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/kdf.h"
#include "velna/crypto/random.h"
#include "velna/error.h"

namespace velna::lockbox {
namespace {

using internal::kU64;
using internal::Reader;
using internal::store_bytes;
using internal::store_u64;

SectionView read_section(Reader& outer, const char* layout) {
  Reader r(outer.rest(), layout);
  SectionView s;
  const auto& f = kSectionFields;
  s.salt = r.bytes(r.u64(f[0]), f[1]);
  s.iv = r.bytes(r.u64(f[2]), f[3]);
  s.encrypted = r.bytes(r.u64(f[4]), f[5]);
  s.bytes = r.consumed();
  outer.skip(s.bytes.size());
  return s;
}

std::uint8_t* put_section(std::uint8_t* p, const SectionView& s) {
  p = store_bytes(store_u64(p, s.salt.size()), s.salt);
  p = store_bytes(store_u64(p, s.iv.size()), s.iv);
  return store_bytes(store_u64(p, s.encrypted.size()), s.encrypted);
}

std::size_t add(std::size_t a, std::size_t b) {
  if (b > std::numeric_limits<std::size_t>::max() - a)
    throw BuildError("Key file record too large to write.");
  return a + b;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// reads_as_hex tells whether |s| reads as a base-16 integer the way the
// Python binding's credential check reads it (int(s, 16)): blanks around it,
// one sign, a 0x prefix that one underscore may follow, and single
// underscores between digits. Text with a byte outside ASCII is refused
// here, which the runtime accepts only for its other scripts' digits and
// blanks.
bool reads_as_hex(std::string_view s) {
  for (char c : s)
    if (c == '\0' || static_cast<unsigned char>(c) >= 0x80) return false;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && is_space(s[i])) ++i;
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  if (n - i >= 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    i += 2;
    if (i < n && s[i] == '_') ++i;
  }
  if (i < n && s[i] == '_') return false;
  std::size_t digits = 0;
  bool after_underscore = false;
  for (; i < n && (is_hex_digit(s[i]) || s[i] == '_'); ++i) {
    if (s[i] == '_' && after_underscore) return false;
    after_underscore = s[i] == '_';
    if (!after_underscore) ++digits;
  }
  if (digits == 0 || after_underscore) return false;
  while (i < n && is_space(s[i])) ++i;
  return i == n;
}

std::string opened_text(std::uint64_t version, std::string_view secret, const SectionView& section,
                        std::string_view failure) {
  SecretBytes plain = open_section(version, as_bytes(secret), section);
  if (!is_utf8(plain)) throw DecryptionError(std::string(failure));
  return std::string(as_chars(plain));
}

}  // namespace

std::size_t section_size(std::size_t salt_size, std::size_t iv_size, std::size_t encrypted_size) {
  return add(add(add(3 * kU64, salt_size), iv_size), encrypted_size);
}

SectionView parse_section(ByteView data) {
  Reader r(data, "Key file section");
  return read_section(r, "Key file section");
}

std::size_t write_section(const SectionView& fields, MutableByteView out) {
  std::size_t n = section_size(fields.salt.size(), fields.iv.size(), fields.encrypted.size());
  if (out.size() < n)
    throw InvalidArgument("Output buffer of " + std::to_string(out.size()) +
                          " bytes is too small for " + std::to_string(n) + " bytes.");
  put_section(out.data(), fields);
  return n;
}

Bytes build_section(const SectionView& fields) {
  Bytes out(section_size(fields.salt.size(), fields.iv.size(), fields.encrypted.size()));
  put_section(out.data(), fields);
  return out;
}

FileView parse_file(ByteView data) {
  Reader r(data, "Key file");
  FileView f;
  f.version = r.u64(kFileFields[0]);
  f.key_ring_length = r.u64(kFileFields[1]);
  f.rescue_length = r.u64(kFileFields[2]);
  f.key_ring = read_section(r, "Key file key_ring");
  f.rescue = read_section(r, "Key file rescue");
  f.bytes = r.consumed();
  return f;
}

Bytes build_file(std::uint64_t version, std::uint64_t key_ring_length, std::uint64_t rescue_length,
                 const SectionView& key_ring, const SectionView& rescue) {
  std::size_t k = section_size(key_ring.salt.size(), key_ring.iv.size(), key_ring.encrypted.size());
  std::size_t r = section_size(rescue.salt.size(), rescue.iv.size(), rescue.encrypted.size());
  Bytes out(add(add(kHeaderSize, k), r));
  std::uint8_t* p = store_u64(out.data(), version);
  p = store_u64(p, key_ring_length);
  p = store_u64(p, rescue_length);
  put_section(put_section(p, key_ring), rescue);
  return out;
}

Bytes join_sections(ByteView key_ring, ByteView rescue) {
  return build_file(kVersion, key_ring.size(), rescue.size(), parse_section(key_ring),
                    parse_section(rescue));
}

bool has_engine(std::uint64_t version) { return version == 1; }

SecretBytes derive_key(std::uint64_t version, ByteView secret, ByteView salt) {
  if (!has_engine(version))
    throw InvalidArgument("No key-derivation engine for key file version " +
                          std::to_string(version) + ".");
  return kdf::pbkdf2_hmac(HashKind::Sha384, secret, salt, kIterations, kKeyLength);
}

Bytes seal_section(std::uint64_t version, ByteView secret, ByteView plaintext) {
  if (!has_engine(version)) derive_key(version, secret, {});
  Bytes salt = random_bytes(kSaltLength);
  aes::Iv iv = aes::make_iv();
  SecretBytes key = derive_key(version, secret, salt);
  std::size_t n = section_size(salt.size(), iv.size(), plaintext.size());
  Bytes out(n);
  std::uint8_t* p = store_bytes(store_u64(out.data(), salt.size()), salt);
  p = store_bytes(store_u64(p, iv.size()), iv);
  p = store_u64(p, plaintext.size());
  aes::ctr_transform(key, iv, plaintext, p);
  return out;
}

SecretBytes open_section(std::uint64_t version, ByteView secret, const SectionView& section) {
  if (!has_engine(version)) derive_key(version, secret, {});
  if (section.iv.size() != aes::kIvLength)
    throw InvalidArgument("Invalid IV size (" + std::to_string(section.iv.size()) + ") for CTR.");
  SecretBytes key = derive_key(version, secret, section.salt);
  SecretBytes plain(section.encrypted.size());
  aes::ctr_transform(key, section.iv, section.encrypted, plain.data());
  return plain;
}

bool is_utf8(ByteView text) {
  std::size_t i = 0, n = text.size();
  while (i < n) {
    std::uint8_t c = text[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;  // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (text[i + 1] < lo || text[i + 1] > hi) return false;
    for (std::size_t k = 2; k < len; ++k)
      if (text[i + k] < 0x80 || text[i + k] > 0xbf) return false;
    i += len;
  }
  return true;
}

std::string password_secret(std::string_view password) {
  if (password.size() == 2 * kSha384Size && reads_as_hex(password)) return std::string(password);
  return hex_digest(HashKind::Sha384, as_bytes(password));
}

std::string rescue_plaintext(std::string_view password_hash) {
  nlohmann::json text(password_hash);
  return "{\"password\": " + text.dump(-1, ' ', true) + "}";
}

Bytes write_file(std::string_view key_ring_json, std::string_view password,
                 std::string_view passphrase) {
  if (!is_utf8(as_bytes(key_ring_json)))
    throw InvalidArgument("The key-ring plaintext must be UTF-8 text.");
  std::string secret = password_secret(password);
  Bytes k = seal_section(kVersion, as_bytes(secret), as_bytes(key_ring_json));
  Bytes r = seal_section(kVersion, as_bytes(passphrase), as_bytes(rescue_plaintext(secret)));
  return join_sections(k, r);
}

std::string open_key_ring(ByteView file, std::string_view password) {
  FileView f = parse_file(file);
  return opened_text(f.version, password_secret(password), f.key_ring, kKeyRingFailure);
}

std::string recover_password(ByteView file, std::string_view passphrase) {
  FileView f = parse_file(file);
  std::string text = opened_text(f.version, passphrase, f.rescue, kRescueFailure);
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (!value.is_object() || !value.contains("password") || !value["password"].is_string())
    throw ParseError("Key file rescue: the plaintext holds no password.");
  return value["password"].get<std::string>();
}

}  // namespace velna::lockbox
