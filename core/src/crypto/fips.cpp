#include "velna/crypto/fips.h"

#include <mutex>

#include "internal/openssl.h"

namespace velna::fips {
namespace {

std::mutex fips_mutex;
// The FIPS provider, once loaded, stays loaded for the rest of the process.
bool fips_loaded = false;

bool probe() {
  internal::EvpMd md(EVP_MD_fetch(nullptr, "SHA2-384", nullptr));
  internal::EvpCipher cipher(EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr));
  return md && cipher;
}

}  // namespace

void enable() {
  std::lock_guard lock(fips_mutex);
  const bool was_enabled = EVP_default_properties_is_fips_enabled(nullptr) == 1;
  if (was_enabled && probe()) {
    internal::clear_errors();
    return;
  }
  // try_load with fallbacks retained: OSSL_PROVIDER_load disables the
  // automatic loading of the default provider even when the load fails, and
  // a process whose first OpenSSL call is this switch would then have no
  // algorithms at all.
  internal::OsslProvider loaded(fips_loaded ? nullptr : OSSL_PROVIDER_try_load(nullptr, "fips", 1));
  bool ok = fips_loaded || loaded;
  if (ok) ok = EVP_default_properties_enable_fips(nullptr, 1) == 1;
  if (ok) ok = probe() && internal::refresh_algorithms();
  if (!ok) {
    EVP_default_properties_enable_fips(nullptr, was_enabled ? 1 : 0);
    internal::fail<AssertionFailure>("Unable to set FIPS mode.");
  }
  if (loaded) {
    loaded.release();  // see fips_loaded
    fips_loaded = true;
  }
  internal::clear_errors();
}

}  // namespace velna::fips
