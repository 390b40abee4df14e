// Cost of create_key's native path (the core's PBKDF2-HMAC-SHA384 at the
// key-file parameters, copied into the caller's 32-byte result) beside one
// plain PKCS5_PBKDF2_HMAC call with the same parameters. The paired
// benchmark runs both alternately in every iteration, so that load from
// other processes falls on both sides alike; its "ratio" counter is
// core time over raw time.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velna/bytes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/kdf.h"

namespace {

using namespace velna;

constexpr std::uint32_t kIterations = 100000;
constexpr std::size_t kKeyLength = 32;
const Bytes kSecret(96, 'a');  // a SHA-384 hex text, as the key file uses
const Bytes kSalt(8, 0x5c);    // the key file's 8-byte salt

void core_path(std::uint8_t* out) {
  SecretBytes key = kdf::pbkdf2_hmac(HashKind::Sha384, kSecret, kSalt, kIterations, kKeyLength);
  std::memcpy(out, key.data(), kKeyLength);
}

void raw_call(std::uint8_t* out) {
  if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(kSecret.data()),
                        static_cast<int>(kSecret.size()), kSalt.data(),
                        static_cast<int>(kSalt.size()), static_cast<int>(kIterations), EVP_sha384(),
                        static_cast<int>(kKeyLength), out) != 1)
    std::abort();
}

void BM_CreateKeyCorePath(benchmark::State& state) {
  std::uint8_t out[kKeyLength];
  for (auto _ : state) {
    core_path(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_CreateKeyCorePath)->Unit(benchmark::kMillisecond);

void BM_RawPkcs5Pbkdf2Hmac(benchmark::State& state) {
  std::uint8_t out[kKeyLength];
  for (auto _ : state) {
    raw_call(out);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_RawPkcs5Pbkdf2Hmac)->Unit(benchmark::kMillisecond);

void BM_CoreOverRawPaired(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  std::uint8_t a[kKeyLength], b[kKeyLength];
  Clock::duration core{}, raw{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    core_path(a);
    auto t1 = Clock::now();
    raw_call(b);
    auto t2 = Clock::now();
    core += t1 - t0;
    raw += t2 - t1;
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
    if (std::memcmp(a, b, kKeyLength) != 0) std::abort();
  }
  state.counters["ratio"] =
      std::chrono::duration<double>(core).count() / std::chrono::duration<double>(raw).count();
}
BENCHMARK(BM_CoreOverRawPaired)->Unit(benchmark::kMillisecond)->Iterations(40);

}  // namespace
