// Throughput of AES-256-CTR and HMAC-SHA384 through the core, each beside the
// same work done with plain EVP calls, so that any overhead of the core's
// wrapping (context set-up, checks, output allocation) shows as a gap between
// the two. Every operation writes into a freshly allocated output, as a caller
// that gets a new byte string back would.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "internal/openssl.h"
#include "velna/bytes.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/hmac.h"

namespace {

using namespace velna;

const Bytes kCipherKey(32, 0x11);
const Bytes kIv(16, 0x22);
const Bytes kMacKey(128, 0x33);

Bytes input(const benchmark::State& state) {
  return Bytes(static_cast<std::size_t>(state.range(0)), 0x5a);
}

void report(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// The benchmark cannot go on without its algorithm; there is nothing to
// measure if a fetch fails.
template <typename T>
T* need(T* p) {
  if (!p) std::abort();
  return p;
}

void need(int rc) {
  if (rc != 1) std::abort();
}

// The core's own owning handles.
using Cipher = internal::EvpCipher;
using CipherCtx = internal::EvpCipherCtx;
using Mac = internal::EvpMac;
using MacCtx = internal::EvpMacCtx;
using Md = internal::EvpMd;

// --- AES-256-CTR -----------------------------------------------------------

// The value-returning overload: the output is a Bytes the core allocates.
void BM_AesCtr_Core(benchmark::State& state) {
  Bytes in = input(state);
  for (auto _ : state) {
    Bytes out = aes::ctr_transform(kCipherKey, kIv, in);
    benchmark::DoNotOptimize(out.data());
  }
  report(state);
}

// The caller-buffer overload, the path the Python binding takes: the output
// is allocated uninitialised, as a new bytes object is.
void BM_AesCtr_CoreInto(benchmark::State& state) {
  Bytes in = input(state);
  for (auto _ : state) {
    auto out = std::make_unique_for_overwrite<std::uint8_t[]>(in.size());
    aes::ctr_transform(kCipherKey, kIv, in, out.get());
    benchmark::DoNotOptimize(out.get());
  }
  report(state);
}

void BM_AesCtr_RawEvp(benchmark::State& state) {
  Bytes in = input(state);
  Cipher cipher(need(EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr)));
  for (auto _ : state) {
    auto out = std::make_unique_for_overwrite<std::uint8_t[]>(in.size());
    CipherCtx ctx(need(EVP_CIPHER_CTX_new()));
    need(EVP_EncryptInit_ex2(ctx.get(), cipher.get(), kCipherKey.data(), kIv.data(), nullptr));
    int n = 0, tail = 0;
    need(EVP_EncryptUpdate(ctx.get(), out.get(), &n, in.data(), static_cast<int>(in.size())));
    need(EVP_EncryptFinal_ex(ctx.get(), out.get() + n, &tail));
    benchmark::DoNotOptimize(out.get());
  }
  report(state);
}

// --- HMAC-SHA384 -----------------------------------------------------------

void BM_HmacSha384_Core(benchmark::State& state) {
  Bytes in = input(state);
  for (auto _ : state) {
    hmac::Sha384Tag tag = hmac::sha384(kMacKey, in);
    benchmark::DoNotOptimize(tag.data());
  }
  report(state);
}

void BM_HmacSha384_RawEvpMac(benchmark::State& state) {
  Bytes in = input(state);
  Mac mac(need(EVP_MAC_fetch(nullptr, "HMAC", nullptr)));
  char digest_name[] = "SHA384";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest_name, 0),
                         OSSL_PARAM_construct_end()};
  for (auto _ : state) {
    std::uint8_t tag[48];
    std::size_t len = 0;
    MacCtx ctx(need(EVP_MAC_CTX_new(mac.get())));
    need(EVP_MAC_init(ctx.get(), kMacKey.data(), kMacKey.size(), params));
    need(EVP_MAC_update(ctx.get(), in.data(), in.size()));
    need(EVP_MAC_final(ctx.get(), tag, &len, sizeof tag));
    benchmark::DoNotOptimize(tag);
  }
  report(state);
}

// libcrypto's one-shot HMAC(), which fetches its MAC and digest at each call.
void BM_HmacSha384_RawOneShot(benchmark::State& state) {
  Bytes in = input(state);
  const EVP_MD* md = EVP_sha384();
  for (auto _ : state) {
    std::uint8_t tag[48];
    unsigned int len = 0;
    need(HMAC(md, kMacKey.data(), static_cast<int>(kMacKey.size()), in.data(), in.size(), tag,
              &len));
    benchmark::DoNotOptimize(tag);
  }
  report(state);
}

// --- SHA-384 of a short message ----------------------------------------------

void BM_Sha384_Core(benchmark::State& state) {
  Bytes in = input(state);
  for (auto _ : state) {
    Sha384Digest d = sha384(in);
    benchmark::DoNotOptimize(d.data());
  }
  report(state);
}

void BM_Sha384_RawEvp(benchmark::State& state) {
  Bytes in = input(state);
  Md md(need(EVP_MD_fetch(nullptr, "SHA2-384", nullptr)));
  for (auto _ : state) {
    std::uint8_t d[48];
    need(EVP_Digest(in.data(), in.size(), d, nullptr, md.get(), nullptr));
    benchmark::DoNotOptimize(d);
  }
  report(state);
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(1 << 10)->Arg(1 << 20)->Arg(64 << 20); }

BENCHMARK(BM_AesCtr_Core)->Apply(Sizes);
BENCHMARK(BM_AesCtr_CoreInto)->Apply(Sizes);
BENCHMARK(BM_AesCtr_RawEvp)->Apply(Sizes);
BENCHMARK(BM_HmacSha384_Core)->Apply(Sizes);
BENCHMARK(BM_HmacSha384_RawEvpMac)->Apply(Sizes);
BENCHMARK(BM_HmacSha384_RawOneShot)->Apply(Sizes);
BENCHMARK(BM_Sha384_Core)->Arg(64);
BENCHMARK(BM_Sha384_RawEvp)->Arg(64);

}  // namespace
