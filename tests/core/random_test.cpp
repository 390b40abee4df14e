// Random bytes from OpenSSL: exact counts and the request limit.
#include "velna/crypto/random.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

TEST(Random, DrawsExactCounts) {
  EXPECT_TRUE(random_bytes(0).empty());
  for (std::size_t n : {8u, 32u, 64u, 128u}) {
    auto a = random_bytes(n), b = random_bytes(n);
    EXPECT_EQ(a.size(), n);
    EXPECT_NE(a, b) << n;
    EXPECT_EQ(random_secret(n).size(), n);
  }
}

// Reserves 2 GiB of address space in one piece, which a 32-bit process
// under qemu-user cannot get (see tools/armhf-test.sh).
TEST(Random, RefusesCountsAboveTheLimit) {
  // A reservation that faults on any access: the refusal must come before
  // the buffer is touched, and nothing is allocated.
  const std::size_t size = kMaxRandomRequest + 1;
  void* region = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  expect_failure<InvalidArgument>(
      [&] { fill_random(MutableByteView(static_cast<std::uint8_t*>(region), size)); },
      "kMaxRandomRequest + 1");
  munmap(region, size);
}

}  // namespace
}  // namespace velna
