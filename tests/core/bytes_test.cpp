// Byte views, hex and the secret buffer.
#include "velna/bytes.h"

#include <gtest/gtest.h>

#include <utility>

#include "test_support.h"

namespace velna {
namespace {

using namespace velna::test;

TEST(Bytes, HexAndConstantTimeComparison) {
  EXPECT_EQ(to_hex(unhex("00ff10a5")), "00ff10a5");
  EXPECT_EQ(to_hex({}), "");
  const Bytes a = unhex("0102030405");
  EXPECT_TRUE(constant_time_equal(a, unhex("0102030405")));
  EXPECT_FALSE(constant_time_equal(a, unhex("0102030406")));  // the last byte differs
  EXPECT_FALSE(constant_time_equal(a, unhex("01020304")));    // a prefix
  EXPECT_TRUE(constant_time_equal({}, {}));
}

TEST(SecretBytes, CopiesAreIndependentAndMovesLeaveNothingBehind) {
  SecretBytes secret(as_bytes("key material"));
  SecretBytes copy = secret;
  copy.data()[0] = 'K';
  EXPECT_EQ(as_chars(secret), "key material");
  EXPECT_EQ(as_chars(copy), "Key material");

  SecretBytes moved = std::move(secret);
  EXPECT_EQ(as_chars(moved), "key material");
  EXPECT_TRUE(secret.empty());  // NOLINT(bugprone-use-after-move): the moved-from state is defined

  copy = moved;
  EXPECT_EQ(as_chars(copy), "key material");
  moved = SecretBytes(4);
  EXPECT_EQ(moved.size(), 4u);
}

}  // namespace
}  // namespace velna
