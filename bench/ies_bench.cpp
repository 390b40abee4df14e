// Sealing and opening a recipient key blob against the public-key operations
// they cannot avoid: sealing costs one key generation, one ECDH and one ECDSA
// signature; opening one ECDH and one ECDSA verification. Everything else
// (key encodings, the KDF, AES, HMAC, framing) should stay within 15 % of
// those. Compare BM_Seal with BM_SealPublicKeyWork and BM_Open with
// BM_OpenPublicKeyWork from one run, in turns so that the machine's load hits
// both alike:
//   ies_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
#include <benchmark/benchmark.h>

#include <cstdint>

#include "velna/bytes.h"
#include "velna/crypto/ec.h"
#include "velna/crypto/ies.h"

namespace {

using namespace velna;

struct Fixture {
  ec::PrivateKey signing = ec::PrivateKey::generate(ec::Curve::P384);
  ec::PrivateKey derivation = ec::PrivateKey::generate(ec::Curve::P384);
  // Public keys loaded the way a blob's keys are.
  ec::PublicKey signing_public = ec::PublicKey::from_point(ec::Curve::P384, signing.to_point());
  ec::PublicKey derivation_public =
      ec::PublicKey::from_point(ec::Curve::P384, derivation.to_point());
  // The byte form of a container's keys: 200 bytes.
  Bytes plaintext = Bytes(200, 0x5a);
  ies::ContainerId id{};
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_Seal(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        ies::seal(f.plaintext, f.id, {f.signing, 0}, {f.derivation_public, 0}));
}
BENCHMARK(BM_Seal);

void BM_SealPublicKeyWork(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    ec::PrivateKey ephemeral = ec::PrivateKey::generate(ec::Curve::P384);
    benchmark::DoNotOptimize(ephemeral.exchange(f.derivation_public));
    benchmark::DoNotOptimize(f.signing.sign(HashKind::Sha384, f.plaintext));
  }
}
BENCHMARK(BM_SealPublicKeyWork);

void BM_Open(benchmark::State& state) {
  Fixture& f = fixture();
  const Bytes blob = ies::seal(f.plaintext, f.id, {f.signing, 0}, {f.derivation_public, 0});
  for (auto _ : state)
    benchmark::DoNotOptimize(ies::open(ies::parse(blob), f.derivation, &f.signing_public, &f.id));
}
BENCHMARK(BM_Open);

void BM_OpenPublicKeyWork(benchmark::State& state) {
  Fixture& f = fixture();
  const ec::PublicKey ephemeral = ec::PublicKey::from_point(
      ec::Curve::P384, ec::PrivateKey::generate(ec::Curve::P384).to_point());
  const Bytes signature = f.signing.sign(HashKind::Sha384, f.plaintext);
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.derivation.exchange(ephemeral));
    f.signing_public.verify(HashKind::Sha384, signature, f.plaintext);
  }
}
BENCHMARK(BM_OpenPublicKeyWork);

}  // namespace
