// The key derivation functions: published vectors and lengths.
#include "velna/crypto/kdf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/crypto/digest.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

TEST(X963KdfKnownAnswers, AnsiX963Sha384) {
  int without_info = 0, with_info = 0;
  for (const auto& r : read_records("KDF/ansx963_2001.txt")) {
    if (r.section != "SHA-384") continue;
    std::size_t length = std::stoul(r.attrs.at("key data length")) / 8;
    Bytes info = unhex(r.at("SharedInfo"));
    auto out = kdf::x963(HashKind::Sha384, unhex(r.at("Z")), info, length);
    EXPECT_EQ(to_vec(out), unhex(r.at("key_data"))) << r.name();
    (info.empty() ? without_info : with_info)++;
  }
  EXPECT_GT(without_info, 0);
  EXPECT_GT(with_info, 0);
}

TEST(X963Kdf, AnyLengthTheKdfAllowsIncludingZero) {
  const Bytes secret(48, 9);
  EXPECT_EQ(kdf::x963(HashKind::Sha384, secret, {}, 0).size(), 0u);
  auto long_out = kdf::x963(HashKind::Sha384, secret, {}, 100);
  auto short_out = kdf::x963(HashKind::Sha384, secret, {}, 32);
  EXPECT_EQ(Bytes(long_out.data(), long_out.data() + 32), to_vec(short_out));
  // The defaults used for stored keys: SHA-384 of the secret and counter 1.
  Bytes input = secret;
  input.insert(input.end(), {0, 0, 0, 1});
  auto h = sha384(input);
  EXPECT_EQ(to_vec(short_out), Bytes(h.begin(), h.begin() + 32));
  // An empty secret is allowed: the blocks hash the counter (and info) alone.
  const Bytes info = to_vec(as_bytes("info"));
  Bytes expected;
  for (std::uint8_t counter : {1, 2, 3}) {
    Bytes block_input(4 + info.size(), 0);
    block_input[3] = counter;
    std::copy(info.begin(), info.end(), block_input.begin() + 4);
    auto block = sha384(block_input);
    expected.insert(expected.end(), block.begin(), block.end());
  }
  expected.resize(100);
  EXPECT_EQ(to_vec(kdf::x963(HashKind::Sha384, {}, info, 100)), expected);
  auto empty_secret = kdf::x963(HashKind::Sha384, {}, {}, 32);
  auto h1 = sha384(Bytes{0, 0, 0, 1});
  EXPECT_EQ(to_vec(empty_secret), Bytes(h1.begin(), h1.begin() + 32));
  expect_failure<InvalidArgument>(
      [&] { kdf::x963(HashKind::Sha384, secret, {}, kdf::x963_max_length(HashKind::Sha384) + 1); },
      "one byte beyond the X9.63 limit");
}

// An iteration count is checked on 64 bits before it is narrowed: a count
// that would wrap into range is refused.
TEST(Pbkdf2, IterationCounts) {
  const std::pair<std::uint64_t, bool> cases[] = {
      {0, false},          {1, true},
      {100000, true},      {kdf::kMaxPbkdf2Iterations, true},
      {0x80000000, false}, {0x100000001ull, false},
      {~0ull, false},
  };
  for (const auto& [count, ok] : cases) {
    SCOPED_TRACE(count);
    if (ok)
      EXPECT_EQ(kdf::pbkdf2_iterations(count), count);
    else
      expect_failure<InvalidArgument>([&] { kdf::pbkdf2_iterations(count); },
                                      "iterations " + std::to_string(count),
                                      "iterations is out of range");
  }
}

}  // namespace
}  // namespace velna
