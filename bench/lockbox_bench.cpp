// Key files in the core: opening a key file (parse, one PBKDF2 derivation,
// AES-CTR, the UTF-8 check) beside the one PKCS5_PBKDF2_HMAC call it needs,
// paired in every iteration so that load from other processes falls on both
// alike (counter "ratio": open time over derivation time); and loading a key
// file's P-384 private key from PEM beside OpenSSL's general PEM reader.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "velna/bytes.h"
#include "velna/crypto/ec.h"
#include "velna/crypto/lockbox.h"

namespace {

using namespace velna;
using Clock = std::chrono::steady_clock;

const std::string kJson(1000, 'x');  // about the size of a real key-ring plaintext

const Bytes& sample() {
  static const Bytes file = lockbox::write_file("\"" + kJson + "\"", "password", "passphrase");
  return file;
}

void raw_derivation(ByteView salt, const std::string& secret, std::uint8_t* out) {
  if (PKCS5_PBKDF2_HMAC(secret.data(), static_cast<int>(secret.size()), salt.data(),
                        static_cast<int>(salt.size()), 100000, EVP_sha384(), 32, out) != 1)
    std::abort();
}

void BM_OpenKeyRingOverOneDerivationPaired(benchmark::State& state) {
  const Bytes& file = sample();
  std::string secret = lockbox::password_secret("password");
  lockbox::FileView view = lockbox::parse_file(file);
  Bytes salt(view.key_ring.salt.begin(), view.key_ring.salt.end());
  std::uint8_t key[32];
  Clock::duration open{}, raw{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    std::string text = lockbox::open_key_ring(file, "password");
    auto t1 = Clock::now();
    raw_derivation(salt, secret, key);
    auto t2 = Clock::now();
    open += t1 - t0;
    raw += t2 - t1;
    benchmark::DoNotOptimize(text);
    benchmark::DoNotOptimize(key);
  }
  state.counters["ratio"] =
      std::chrono::duration<double>(open).count() / std::chrono::duration<double>(raw).count();
}
BENCHMARK(BM_OpenKeyRingOverOneDerivationPaired)->Unit(benchmark::kMillisecond)->Iterations(30);

void BM_ParseKeyFile(benchmark::State& state) {
  const Bytes& file = sample();
  for (auto _ : state) benchmark::DoNotOptimize(lockbox::parse_file(file));
}
BENCHMARK(BM_ParseKeyFile);

void BM_LoadPrivateKeyPemPaired(benchmark::State& state) {
  SecretBytes pem = ec::PrivateKey::generate(ec::Curve::P384).to_pem();
  Clock::duration ours{}, general{};
  for (auto _ : state) {
    auto t0 = Clock::now();
    ec::PrivateKey key = ec::PrivateKey::from_pem(pem);
    ec::PublicKey pub = key.public_key();
    auto t1 = Clock::now();
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* p = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    auto t2 = Clock::now();
    if (!p) std::abort();
    EVP_PKEY_free(p);
    BIO_free(bio);
    ours += t1 - t0;
    general += t2 - t1;
    benchmark::DoNotOptimize(pub);
  }
  state.counters["ratio"] =
      std::chrono::duration<double>(ours).count() / std::chrono::duration<double>(general).count();
}
BENCHMARK(BM_LoadPrivateKeyPemPaired)->Iterations(2000);

}  // namespace
