// Throughput of section encryption and decryption, and the cost of framing:
// parsing a blob should stay flat in the payload size (it copies nothing).
#include <benchmark/benchmark.h>

#include <cstdint>

#include "velna/bytes.h"
#include "velna/crypto/container.h"

namespace {

using namespace velna;

const Bytes kCipherKey(32, 0x11);
const Bytes kMacKey(128, 0x22);

void BM_EncryptSection(benchmark::State& state) {
  Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5a);
  Bytes out(container::section_size(plaintext.size()));
  for (auto _ : state) {
    container::encrypt_section(kCipherKey, kMacKey, plaintext, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncryptSection)->Arg(64)->Arg(4 << 10)->Arg(1 << 20);

void BM_DecryptSection(benchmark::State& state) {
  Bytes plaintext(static_cast<std::size_t>(state.range(0)), 0x5a);
  Bytes section = container::encrypt_section(kCipherKey, kMacKey, plaintext);
  container::SectionView view = container::parse_section(section);
  Bytes out(plaintext.size());
  for (auto _ : state) {
    container::decrypt_section(kCipherKey, kMacKey, view, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DecryptSection)->Arg(64)->Arg(4 << 10)->Arg(1 << 20);

void BM_ParseBlob(benchmark::State& state) {
  Bytes content(static_cast<std::size_t>(state.range(0)), 0x5a);
  Bytes header = container::encrypt_section(kCipherKey, kMacKey, as_bytes("{}"));
  Bytes body = container::encrypt_section(kCipherKey, kMacKey, content);
  auto hv = container::parse_section(header);
  auto cv = container::parse_section(body);
  Bytes blob = container::build_blob(container::make_preamble({}, hv.size(), cv.size()), hv, cv);
  for (auto _ : state) benchmark::DoNotOptimize(container::parse_blob(blob));
}
BENCHMARK(BM_ParseBlob)->Arg(64)->Arg(1 << 20);

}  // namespace
