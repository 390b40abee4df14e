#include "velna/store/cipher.h"

#include <openssl/evp.h>

#include <climits>

#include "internal/openssl.h"
#include "velna/crypto/digest.h"
#include "velna/error.h"

namespace velna::store {
namespace {

constexpr std::size_t kBlock = 16;

const EVP_CIPHER* aes_256_cbc() {
  static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
  if (!cipher) internal::fail("OpenSSL failure: EVP_CIPHER_fetch AES-256-CBC");
  return cipher;
}

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
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
  if (text.size() % 4 != 0) throw DecryptionError("Invalid Base64 text in an encrypted column.");
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      unsigned char c = static_cast<unsigned char>(text[i + k]);
      if (c == '=' && i + 4 == text.size() && k >= 2) {
        v[k] = 0;
        ++pad;
      } else if (pad || (v[k] = b64_value(c)) < 0) {
        throw DecryptionError("Invalid Base64 text in an encrypted column.");
      }
    }
    std::uint32_t w = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out.push_back(static_cast<std::uint8_t>(w >> 16));
    if (pad < 2) out.push_back(static_cast<std::uint8_t>(w >> 8));
    if (pad < 1) out.push_back(static_cast<std::uint8_t>(w));
  }
  return out;
}

ColumnCipher::ColumnCipher(ByteView database_key)
    : hash_(32), enc_(internal::new_cipher_ctx()), dec_(internal::new_cipher_ctx()) {
  velna::digest(HashKind::Sha256, database_key, hash_.data());
  internal::check(
      EVP_EncryptInit_ex2(enc_.get(), aes_256_cbc(), hash_.data(), hash_.data(), nullptr),
      "EVP_EncryptInit");
  internal::check(
      EVP_DecryptInit_ex2(dec_.get(), aes_256_cbc(), hash_.data(), hash_.data(), nullptr),
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
  scratch_.assign(text);
  scratch_.append(padded - text.size(), '*');
  std::string cipher(padded, '\0');
  // Each value starts again from the fixed IV: the same text always gives the
  // same ciphertext.
  internal::check(EVP_EncryptInit_ex2(enc_.get(), nullptr, nullptr, hash_.data(), nullptr),
                  "EVP_EncryptInit");
  int n = 0;
  internal::check(EVP_EncryptUpdate(enc_.get(), reinterpret_cast<unsigned char*>(cipher.data()), &n,
                                    reinterpret_cast<const unsigned char*>(scratch_.data()),
                                    static_cast<int>(padded)),
                  "EVP_EncryptUpdate");
  OPENSSL_cleanse(scratch_.data(), scratch_.size());
  base64_append(reinterpret_cast<const std::uint8_t*>(cipher.data()), cipher.size(), out);
}

std::string ColumnCipher::decrypt(std::string_view stored) {
  Bytes raw = base64_decode(stored);
  if (raw.size() % kBlock != 0 || raw.size() > static_cast<std::size_t>(INT_MAX))
    throw DecryptionError("Invalid ciphertext length in an encrypted column.");
  std::string plain(raw.size(), '\0');
  internal::check(EVP_DecryptInit_ex2(dec_.get(), nullptr, nullptr, hash_.data(), nullptr),
                  "EVP_DecryptInit");
  int n = 0;
  if (!raw.empty())
    internal::check(EVP_DecryptUpdate(dec_.get(), reinterpret_cast<unsigned char*>(plain.data()),
                                      &n, raw.data(), static_cast<int>(raw.size())),
                    "EVP_DecryptUpdate");
  std::size_t end = plain.size();
  while (end > 0 && plain[end - 1] == '*') --end;
  plain.resize(end);
  return plain;
}

}  // namespace velna::store
