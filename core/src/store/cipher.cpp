#include "velna/store/cipher.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>

#include "internal/openssl.h"
#include "velna/crypto/digest.h"
#include "velna/error.h"

namespace velna::store {
namespace {

constexpr std::size_t kBlock = 16;

// The column cipher is CBC with a fixed IV over each value. It runs as the
// block cipher alone (ECB) with the chaining done here, so that a value
// needs no set-up of the context: the key schedule is made once.
const EVP_CIPHER* aes_256_ecb() {
  static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
  if (!cipher) internal::fail("OpenSSL failure: EVP_CIPHER_fetch AES-256-ECB");
  return cipher;
}

void xor_block(std::uint8_t* out, const std::uint8_t* a, const std::uint8_t* b) {
  for (std::size_t i = 0; i < kBlock; ++i) out[i] = a[i] ^ b[i];
}

// kB64Values maps a character to its value in the alphabet, 64 for "=" and
// 255 for any other character.
struct B64Values {
  std::uint8_t v[256];
  constexpr B64Values() : v() {
    for (int i = 0; i < 256; ++i) v[i] = 255;
    for (int i = 0; i < 26; ++i) {
      v['A' + i] = static_cast<std::uint8_t>(i);
      v['a' + i] = static_cast<std::uint8_t>(26 + i);
    }
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<std::uint8_t>(52 + i);
    v[static_cast<unsigned char>('+')] = 62;
    v[static_cast<unsigned char>('/')] = 63;
    v[static_cast<unsigned char>('=')] = 64;
  }
};
constexpr B64Values kB64Values;

// base64_decode_into decodes |text| into |out|, which holds at least
// text.size() / 4 * 3 bytes, and returns the decoded length.
std::size_t base64_decode_into(std::string_view text, std::uint8_t* out) {
  if (text.size() % 4 != 0) throw DecryptionError("Invalid Base64 text in an encrypted column.");
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t a = kB64Values.v[p[i]], b = kB64Values.v[p[i + 1]], c = kB64Values.v[p[i + 2]],
                  d = kB64Values.v[p[i + 3]];
    int pad = 0;
    if ((a | b | c | d) > 63) {
      // "=" only as the last one or two characters of the text.
      const bool last = i + 4 == text.size();
      if (last && a < 64 && b < 64 && c == 64 && d == 64) {
        pad = 2;
      } else if (last && a < 64 && b < 64 && c < 64 && d == 64) {
        pad = 1;
      } else {
        throw DecryptionError("Invalid Base64 text in an encrypted column.");
      }
      if (c == 64) c = 0;
      d = 0;
    }
    std::uint32_t w = (a << 18) | (b << 12) | (c << 6) | d;
    out[n++] = static_cast<std::uint8_t>(w >> 16);
    if (pad < 2) out[n++] = static_cast<std::uint8_t>(w >> 8);
    if (pad < 1) out[n++] = static_cast<std::uint8_t>(w);
  }
  return n;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void base64_append(const std::uint8_t* p, std::size_t n, std::string& out) {
  std::size_t start = out.size();
  out.resize(start + (n + 2) / 3 * 4);
  char* o = out.data() + start;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    std::uint32_t v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  if (i < n) {
    std::uint32_t v = p[i] << 16;
    if (i + 1 < n) v |= p[i + 1] << 8;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
}

}  // namespace

std::string base64_encode(ByteView data) {
  std::string out;
  base64_append(data.data(), data.size(), out);
  return out;
}

Bytes base64_decode(std::string_view text) {
  Bytes out(text.size() / 4 * 3);
  out.resize(base64_decode_into(text, out.data()));
  return out;
}

ColumnCipher::ColumnCipher(ByteView database_key)
    : hash_(32), enc_(internal::new_cipher_ctx()), dec_(internal::new_cipher_ctx()) {
  velna::digest(HashKind::Sha256, database_key, hash_.data());
  internal::check(EVP_EncryptInit_ex2(enc_.get(), aes_256_ecb(), hash_.data(), nullptr, nullptr),
                  "EVP_EncryptInit");
  internal::check(EVP_DecryptInit_ex2(dec_.get(), aes_256_ecb(), hash_.data(), nullptr, nullptr),
                  "EVP_DecryptInit");
  EVP_CIPHER_CTX_set_padding(enc_.get(), 0);
  EVP_CIPHER_CTX_set_padding(dec_.get(), 0);
}

ColumnCipher::~ColumnCipher() {
  if (!scratch_.empty()) OPENSSL_cleanse(scratch_.data(), scratch_.size());
}

bool ColumnCipher::same_key(ByteView database_key) const {
  std::uint8_t h[32];
  velna::digest(HashKind::Sha256, database_key, h);
  bool same = constant_time_equal({h, 32}, hash_.view());
  OPENSSL_cleanse(h, sizeof h);
  return same;
}

std::string ColumnCipher::encrypt(std::string_view text) {
  if (!keeps_text(text)) throw InvalidArgument(std::string(kTrailingPadMessage));
  std::string out;
  encrypt_to(text, out);
  return out;
}

void ColumnCipher::encrypt_to(std::string_view text, std::string& out) {
  std::size_t padded = (text.size() / kBlock + 1) * kBlock;
  if (padded > static_cast<std::size_t>(INT_MAX))
    throw InvalidArgument("Value too large for an encrypted column.");
  scratch_.resize(2 * padded);
  auto* plain = reinterpret_cast<std::uint8_t*>(scratch_.data());
  std::uint8_t* cipher = plain + padded;
  std::memcpy(plain, text.data(), text.size());
  std::memset(plain + text.size(), '*', padded - text.size());
  // Each value starts again from the fixed IV: the same text always gives the
  // same ciphertext.
  const std::uint8_t* chain = hash_.data();
  for (std::size_t at = 0; at < padded; at += kBlock) {
    std::uint8_t block[kBlock];
    xor_block(block, plain + at, chain);
    int n = 0;
    internal::check(EVP_EncryptUpdate(enc_.get(), cipher + at, &n, block, kBlock),
                    "EVP_EncryptUpdate");
    chain = cipher + at;
  }
  OPENSSL_cleanse(plain, padded);
  base64_append(cipher, padded, out);
}

std::string ColumnCipher::decrypt(std::string_view stored) {
  std::string plain;
  decrypt_to(stored, plain);
  return plain;
}

void ColumnCipher::decrypt_to(std::string_view stored, std::string& plain) {
  if (stored.size() / 4 * 3 > static_cast<std::size_t>(INT_MAX))
    throw DecryptionError("Invalid ciphertext length in an encrypted column.");
  raw_.resize(stored.size() / 4 * 3);
  const std::size_t size = base64_decode_into(stored, raw_.data());
  if (size % kBlock != 0)
    throw DecryptionError("Invalid ciphertext length in an encrypted column.");
  plain.resize(size);
  auto* out = reinterpret_cast<std::uint8_t*>(plain.data());
  int n = 0;
  if (size)
    internal::check(EVP_DecryptUpdate(dec_.get(), out, &n, raw_.data(), static_cast<int>(size)),
                    "EVP_DecryptUpdate");
  // Undo the chaining: each block was XORed with the ciphertext before it
  // (the IV for the first).
  for (std::size_t at = 0; at < size; at += kBlock)
    xor_block(out + at, out + at, at ? raw_.data() + at - kBlock : hash_.data());
  std::size_t end = size;
  while (end > 0 && plain[end - 1] == '*') --end;
  plain.resize(end);
}

}  // namespace velna::store
