#include "velna/crypto/kdf.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <new>
#include <string>

#include "internal/openssl.h"

namespace velna::kdf {

std::uint64_t x963_max_length(HashKind kind) {
  return static_cast<std::uint64_t>(digest_size(kind)) * 0xffffffffull;
}

namespace {

// x963_by_digest fills |out| with H(counter || info) for counters 1, 2, ...:
// the X9.63 KDF of an empty secret.
SecretBytes x963_by_digest(HashKind kind, ByteView shared_info, SecretBytes out) {
  std::size_t done = 0;
  for (std::uint32_t counter = 1; done < out.size(); ++counter) {
    const std::uint8_t be[4] = {
        static_cast<std::uint8_t>(counter >> 24), static_cast<std::uint8_t>(counter >> 16),
        static_cast<std::uint8_t>(counter >> 8), static_cast<std::uint8_t>(counter)};
    Hasher h(kind);
    h.update(be);
    h.update(shared_info);
    Bytes block = h.finalize();
    std::size_t n = std::min(block.size(), out.size() - done);
    std::copy_n(block.begin(), n, out.data() + done);
    OPENSSL_cleanse(block.data(), block.size());
    done += n;
  }
  return out;
}

}  // namespace

void check_x963_length(HashKind kind, std::uint64_t length) {
  if (length > x963_max_length(kind))
    throw InvalidArgument("Cannot derive keys larger than " +
                          std::to_string(x963_max_length(kind)) + " bytes.");
}

SecretBytes x963(HashKind kind, ByteView secret, ByteView shared_info, std::uint64_t length) {
  check_x963_length(kind, length);
  // The length is checked on 64 bits first: narrowing it before the check
  // would let a request beyond the limit wrap into one within it.
  if (length > std::numeric_limits<std::size_t>::max()) throw std::bad_alloc();
  SecretBytes out(static_cast<std::size_t>(length));
  if (length == 0) return out;
  // OpenSSL's X963KDF refuses an empty secret, which the KDF itself allows:
  // derive that case block by block from the digest.
  if (secret.empty()) return x963_by_digest(kind, shared_info, std::move(out));
  internal::EvpKdfCtx ctx(
      internal::check_ptr(EVP_KDF_CTX_new(internal::algorithms().x963.get()), "EVP_KDF_CTX_new"));
  static const std::uint8_t empty = 0;
  const char* md_name = EVP_MD_get0_name(internal::md(kind));
  OSSL_PARAM params[4];
  int n = 0;
  params[n++] =
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(md_name), 0);
  params[n++] = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret.empty() ? &empty : secret.data()),
      secret.size());
  if (!shared_info.empty())
    params[n++] = OSSL_PARAM_construct_octet_string(
        OSSL_KDF_PARAM_INFO, const_cast<std::uint8_t*>(shared_info.data()), shared_info.size());
  params[n] = OSSL_PARAM_construct_end();
  internal::check(EVP_KDF_derive(ctx.get(), out.data(), out.size(), params), "X963KDF derive");
  return out;
}

std::uint32_t pbkdf2_iterations(std::uint64_t count) {
  if (count == 0 || count > kMaxPbkdf2Iterations)
    throw InvalidArgument("iterations is out of range");
  return static_cast<std::uint32_t>(count);
}

SecretBytes pbkdf2_hmac(HashKind kind, ByteView secret, ByteView salt, std::uint32_t iterations,
                        std::size_t length) {
  if (length == 0 || length > static_cast<std::size_t>(INT_MAX))
    throw InvalidArgument("Invalid PBKDF2 output length.");
  if (iterations == 0 || iterations > kMaxPbkdf2Iterations)
    throw InvalidArgument("Invalid PBKDF2 iteration count.");
  if (secret.size() > static_cast<std::size_t>(INT_MAX) ||
      salt.size() > static_cast<std::size_t>(INT_MAX))
    throw InvalidArgument("PBKDF2 input is too long.");
  SecretBytes out(length);
  // PKCS5_PBKDF2_HMAC, unlike the provider KDF, accepts salts shorter than
  // 128 bits, which stored key files rely on.
  static const std::uint8_t empty = 0;
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(secret.empty() ? &empty : secret.data()),
                        static_cast<int>(secret.size()), salt.empty() ? &empty : salt.data(),
                        static_cast<int>(salt.size()), static_cast<int>(iterations),
                        internal::md(kind), static_cast<int>(length), out.data()) != 1)
    internal::fail("OpenSSL failure: PKCS5_PBKDF2_HMAC");
  return out;
}

}  // namespace velna::kdf
