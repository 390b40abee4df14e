// OpenSSL glue shared by the core's sources: owning handles, error-queue
// handling and the algorithm objects fetched once per process.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/param_build.h>
#include <openssl/provider.h>

#include <memory>
#include <string>

#include "velna/crypto/digest.h"
#include "velna/error.h"
#include "velna/handles.h"

namespace velna::internal {

// openssl_free frees memory that OpenSSL allocated and handed over (text,
// not a handle of its own kind).
inline void openssl_free(void* p) { OPENSSL_free(p); }

using EvpKdfCtx = std::unique_ptr<EVP_KDF_CTX, Free<EVP_KDF_CTX_free>>;
using EvpPkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY_free>>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX_free>>;
using EvpMd = std::unique_ptr<EVP_MD, Free<EVP_MD_free>>;
using EvpCipher = std::unique_ptr<EVP_CIPHER, Free<EVP_CIPHER_free>>;
using EvpMac = std::unique_ptr<EVP_MAC, Free<EVP_MAC_free>>;
using EvpKdf = std::unique_ptr<EVP_KDF, Free<EVP_KDF_free>>;
using Bio = std::unique_ptr<BIO, Free<BIO_free>>;
using Bignum = std::unique_ptr<BIGNUM, Free<BN_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Free<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Free<OSSL_PARAM_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, Free<EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Free<EC_POINT_free>>;
using OsslProvider = std::unique_ptr<OSSL_PROVIDER, Free<OSSL_PROVIDER_unload>>;
using OpensslText = std::unique_ptr<char, Free<openssl_free>>;

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

// The factories of the contexts made in several places: each returns a new
// context or fails with CryptoFailure.
inline EvpCipherCtx new_cipher_ctx() {
  return EvpCipherCtx(check_ptr(EVP_CIPHER_CTX_new(), "EVP_CIPHER_CTX_new"));
}
inline EvpMdCtx new_md_ctx() { return EvpMdCtx(check_ptr(EVP_MD_CTX_new(), "EVP_MD_CTX_new")); }
inline ParamBld new_param_bld() {
  return ParamBld(check_ptr(OSSL_PARAM_BLD_new(), "OSSL_PARAM_BLD_new"));
}

// Algorithms fetched once; refreshed when the FIPS switch changes the default
// properties, so that a cached implementation never outlives its provider.
struct Algorithms {
  EvpMd md[kHashKindCount];
  EvpCipher aes_ctr_128, aes_ctr_192, aes_ctr_256;
  EvpMac hmac;
  EvpKdf x963;
  // hmac_unkeyed[kind]: an HMAC context with that digest set and no key, which
  // HMAC contexts are copied from (setting the digest looks its name up in the
  // provider's tables, most of the cost of a short MAC). Only read once made;
  // null where it could not be made, and a caller then sets the digest itself.
  EvpMacCtx hmac_unkeyed[kHashKindCount];
};

// unkeyed_hmac is a new HMAC context of |mac| with the digest |md| set and no
// key; null when OpenSSL refuses it.
EvpMacCtx unkeyed_hmac(EVP_MAC* mac, const EVP_MD* md);

// algorithms returns the current set (never null).
const Algorithms& algorithms();

// refresh_algorithms fetches a new set under the current default properties
// and makes it current; it returns false, leaving the old set current, when
// an algorithm cannot be fetched.
bool refresh_algorithms();

const EVP_MD* md(HashKind kind);

}  // namespace velna::internal
