#include "internal/openssl.h"

#include <openssl/params.h>

#include <atomic>
#include <mutex>

namespace velna::internal {

void free_cipher_ctx(EVP_CIPHER_CTX* ctx) noexcept { EVP_CIPHER_CTX_free(ctx); }
void free_md_ctx(EVP_MD_CTX* ctx) noexcept { EVP_MD_CTX_free(ctx); }
void free_mac_ctx(EVP_MAC_CTX* ctx) noexcept { EVP_MAC_CTX_free(ctx); }

namespace {

constexpr const char* kMdNames[kHashKindCount] = {"SHA1", "SHA2-224", "SHA2-256", "SHA2-384",
                                                  "SHA2-512"};

// Sets are never freed: a caller on another thread may still hold one, and
// there are at most a handful per process (one more per FIPS switch).
std::atomic<const Algorithms*> current{nullptr};
std::mutex refresh_mutex;

const Algorithms* fetch_all() {
  auto set = std::make_unique<Algorithms>();
  bool ok = true;
  for (int i = 0; i < kHashKindCount; ++i) {
    set->md[i].reset(EVP_MD_fetch(nullptr, kMdNames[i], nullptr));
    // SHA-1 may be absent under a strict provider; it is optional.
    if (!set->md[i] && i != static_cast<int>(HashKind::Sha1)) ok = false;
  }
  set->aes_ctr_128.reset(EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr));
  set->aes_ctr_192.reset(EVP_CIPHER_fetch(nullptr, "AES-192-CTR", nullptr));
  set->aes_ctr_256.reset(EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr));
  set->hmac.reset(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  set->x963.reset(EVP_KDF_fetch(nullptr, "X963KDF", nullptr));
  for (int i = 0; ok && set->hmac && i < kHashKindCount; ++i)
    if (set->md[i] && !(set->hmac_unkeyed[i] = unkeyed_hmac(set->hmac.get(), set->md[i].get())))
      clear_errors();  // the digest is then set at each use, which reports the failure
  if (!ok || !set->aes_ctr_128 || !set->aes_ctr_192 || !set->aes_ctr_256 || !set->hmac ||
      !set->x963) {
    clear_errors();
    return nullptr;
  }
  return set.release();
}

}  // namespace

EvpMacCtx unkeyed_hmac(EVP_MAC* mac, const EVP_MD* md) {
  EvpMacCtx ctx(EVP_MAC_CTX_new(mac));
  if (!ctx) return ctx;
  // EVP_MD_get0_name gives the name the provider knows the digest by.
  const char* name = EVP_MD_get0_name(md);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, const_cast<char*>(name), 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_CTX_set_params(ctx.get(), params) != 1) ctx.reset();
  return ctx;
}

const Algorithms& algorithms() {
  const Algorithms* set = current.load(std::memory_order_acquire);
  if (set) return *set;
  std::lock_guard lock(refresh_mutex);
  set = current.load(std::memory_order_acquire);
  if (!set) {
    set = fetch_all();
    if (!set) throw CryptoFailure("OpenSSL cannot provide the required algorithms");
    current.store(set, std::memory_order_release);
  }
  return *set;
}

bool refresh_algorithms() {
  std::lock_guard lock(refresh_mutex);
  const Algorithms* set = fetch_all();
  if (!set) return false;
  current.store(set, std::memory_order_release);
  return true;
}

const EVP_MD* md(HashKind kind) {
  const EVP_MD* m = algorithms().md[static_cast<int>(kind)].get();
  if (!m) fail<UnsupportedAlgorithm>(std::string(hash_name(kind)) + " is not available");
  return m;
}

}  // namespace velna::internal
