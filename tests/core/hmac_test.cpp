// HMAC-SHA384: RFC 4231 vectors and verification.
#include "velna/crypto/hmac.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/crypto/digest.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

TEST(HmacKnownAnswers, Rfc4231Sha384AllCases) {
  int cases = 0;
  for (const auto& r : read_records("HMAC/rfc-4231-sha384.txt")) {
    Bytes key = unhex(r.at("Key")), msg = unhex(r.at("Msg")), md = unhex(r.at("MD"));
    EXPECT_EQ(to_vec(hmac::sha384(key, msg)), md) << r.name();
    EXPECT_NO_THROW(hmac::verify_sha384(key, msg, md)) << r.name();
    hmac::Mac mac(HashKind::Sha384, key);
    mac.update(ByteView(msg).first(msg.size() / 2));
    mac.update(ByteView(msg).subspan(msg.size() / 2));
    EXPECT_EQ(mac.finalize(), md) << r.name() << " incremental";
    // A reset context MACs afresh under the same key.
    mac.reset();
    mac.update(msg);
    Bytes again(48);
    mac.finalize_into(again.data());
    EXPECT_EQ(again, md) << r.name() << " after reset";
    ++cases;
  }
  EXPECT_EQ(cases, 6);
  // Test case 5 is missing from the file: its output is truncated to 128 bits.
  Bytes key(20, 0x0c);
  auto tag = hmac::sha384(key, as_bytes("Test With Truncation"));
  EXPECT_EQ(Bytes(tag.begin(), tag.begin() + 16), unhex("3abf34c3503b2a23a46efc619baef897"))
      << "RFC 4231 test case 5";
}

TEST(Hmac, VerifyRefusesEveryTagButTheExactOne) {
  Bytes key(128, 0x42);
  const auto data = as_bytes("authenticated bytes");
  auto tag = hmac::sha384(key, data);
  Bytes right(tag.begin(), tag.end());
  Bytes flipped = right;
  flipped[47] ^= 1;
  Bytes appended = right;
  appended.push_back(0);
  Bytes doubled = right;
  doubled.insert(doubled.end(), right.begin(), right.end());
  const std::vector<std::pair<std::string, Bytes>> cases = {
      {"empty", {}},
      {"first 47 bytes", Bytes(right.begin(), right.end() - 1)},
      {"first 16 bytes", Bytes(right.begin(), right.begin() + 16)},
      {"one more byte", appended},
      {"twice", doubled},
      {"one bit flipped", flipped},
  };
  for (const auto& [name, t] : cases)
    expect_failure<InvalidSignature>([&] { hmac::verify_sha384(key, data, t); }, name);
  EXPECT_NO_THROW(hmac::verify_sha384(key, data, right));
  hmac::Mac mac(HashKind::Sha384, key);
  mac.update(data);
  expect_failure<InvalidSignature>([&] { mac.verify(appended); }, "incremental, one more byte");
}

TEST(Hmac, MacCopiesAreIndependentAndMovesCarryTheState) {
  const Bytes key(128, 0x42);
  hmac::Mac mac(HashKind::Sha384, key);
  mac.update(as_bytes("ab"));
  hmac::Mac copy = mac.copy();
  mac.update(as_bytes("c"));
  copy.update(as_bytes("x"));
  hmac::Mac moved = std::move(mac);
  EXPECT_EQ(moved.finalize(), to_vec(hmac::sha384(key, as_bytes("abc"))));
  EXPECT_EQ(copy.finalize(), to_vec(hmac::sha384(key, as_bytes("abx"))));
}

}  // namespace
}  // namespace velna
