// OpenSSL glue shared by the core's sources: owning handles, error-queue
// handling and the algorithm objects fetched once per process.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <memory>
#include <string>

#include "velna/crypto/digest.h"
#include "velna/crypto/handles.h"
#include "velna/error.h"

namespace velna::internal {

template <auto Fn>
struct Free {
  template <typename T>
  void operator()(T* p) const {
    Fn(p);
  }
};

// The contexts that public classes hold use the deleters their headers
// declare, so that a handle moves from here into such a class.
using EvpCipherCtx = CipherCtxPtr;
using EvpMdCtx = MdCtxPtr;
using EvpMacCtx = MacCtxPtr;
using EvpKdfCtx = std::unique_ptr<EVP_KDF_CTX, Free<EVP_KDF_CTX_free>>;
using EvpPkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Bignum = std::unique_ptr<BIGNUM, Free<BN_free>>;

// clear_errors empties this thread's OpenSSL error queue; every failure path
// calls it so that a stale error never surfaces in a later, unrelated call.
inline void clear_errors() { ERR_clear_error(); }

// fail clears the error queue and throws |E| with |message|.
template <typename E = CryptoFailure>
[[noreturn]] void fail(const std::string& message) {
  clear_errors();
  throw E(message);
}

template <typename T>
T* check_ptr(T* p, const char* what) {
  if (!p) fail(std::string("OpenSSL failure: ") + what);
  return p;
}

inline void check(int rc, const char* what) {
  if (rc != 1) fail(std::string("OpenSSL failure: ") + what);
}

// Algorithms fetched once; refreshed when the FIPS switch changes the default
// properties, so that a cached implementation never outlives its provider.
struct Algorithms {
  const EVP_MD* md[kHashKindCount] = {};
  const EVP_CIPHER* aes_ctr_128 = nullptr;
  const EVP_CIPHER* aes_ctr_192 = nullptr;
  const EVP_CIPHER* aes_ctr_256 = nullptr;
  EVP_MAC* hmac = nullptr;
  EVP_KDF* x963 = nullptr;
  EVP_KDF* pbkdf2 = nullptr;
};

// algorithms returns the current set (never null).
const Algorithms& algorithms();

// refresh_algorithms fetches a new set under the current default properties
// and makes it current; it returns false, leaving the old set current, when
// an algorithm cannot be fetched.
bool refresh_algorithms();

const EVP_MD* md(HashKind kind);

}  // namespace velna::internal
