#include "velna/crypto/ies.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velna/bytes.h"
#include "velna/crypto/ec.h"
#include "velna/error.h"

namespace velna::ies {
namespace {

struct Party {
  ec::PrivateKey signing = ec::PrivateKey::generate(ec::Curve::P384);
  ec::PrivateKey derivation = ec::PrivateKey::generate(ec::Curve::P384);
};

const ContainerId kId = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

Bytes plaintext() {
  Bytes p(200);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 13 + 1);
  return p;
}

std::uint64_t u64_at(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 8; i-- > 0;) v = (v << 8) | b.at(at + i);
  return v;
}

void put_u64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) b.at(at + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes seal_for(const Party& sender, const Party& recipient, const Bytes& data,
               const ContainerId& id = kId) {
  return seal(data, id, Sender{sender.signing, 3}, Recipient{recipient.derivation.public_key(), 5});
}

// expect_refused: parse and open with the recipient's key fail with the one
// error and its one message.
void expect_refused(const Bytes& blob, const ec::PrivateKey& key, const std::string& what) {
  try {
    BlobView v = parse(blob);
    (void)open(v, key);
    ADD_FAILURE() << what << ": opened";
  } catch (const OpenFailure& e) {
    EXPECT_EQ(std::string(e.what()), kFailure) << what;
  }
}

class IesTest : public ::testing::Test {
 protected:
  Party alice, bob;
};

TEST_F(IesTest, RoundTripWithAndWithoutTheSendersKey) {
  const Bytes data = plaintext();
  const Bytes blob = seal_for(alice, bob, data);
  const BlobView v = parse(blob);
  EXPECT_EQ(v.version, kVersion);
  EXPECT_EQ(v.recipient_key_index, 5u);
  EXPECT_EQ(v.sender_key_index, 3u);
  EXPECT_EQ(v.container_id, kId);
  EXPECT_TRUE(ec::PublicKey::from_point(ec::Curve::P384, v.sender_public_key)
                  .same_key(alice.signing.public_key()));
  EXPECT_EQ(v.ciphertext.size(), data.size());

  const ec::PublicKey sender = alice.signing.public_key();
  for (const ec::PublicKey* expected : {static_cast<const ec::PublicKey*>(nullptr), &sender}) {
    SecretBytes out = open(v, bob.derivation, expected, &kId);
    EXPECT_EQ(Bytes(out.view().begin(), out.view().end()), data);
  }
}

TEST_F(IesTest, EmptyAndLargePlaintextsRoundTrip) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{100000}}) {
    Bytes data(n, 0xa5);
    const Bytes blob = seal_for(alice, bob, data);
    SecretBytes out = open(parse(blob), bob.derivation);
    EXPECT_EQ(Bytes(out.view().begin(), out.view().end()), data) << n;
  }
}

TEST_F(IesTest, TwoSealsOfTheSameKeysDiffer) {
  const Bytes data = plaintext();
  EXPECT_NE(seal_for(alice, bob, data), seal_for(alice, bob, data));
}

TEST_F(IesTest, EveryFlippedBitTruncationAndAppendedByteIsRefused) {
  const Bytes blob = seal_for(alice, bob, plaintext());
  for (std::size_t i = 0; i < blob.size(); ++i) {
    Bytes bad = blob;
    bad[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
    expect_refused(bad, bob.derivation, "bit flipped at byte " + std::to_string(i));
  }
  for (std::size_t n = 0; n < blob.size(); ++n)
    expect_refused(Bytes(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(n)),
                   bob.derivation, "truncated to " + std::to_string(n));
  Bytes longer = blob;
  longer.push_back(0);
  expect_refused(longer, bob.derivation, "one byte appended");
}

TEST_F(IesTest, HostileLengthsAreRefusedWithoutReadingPastTheEnd) {
  const Bytes blob = seal_for(alice, bob, plaintext());
  // Offset of the sender key's length field: three integers and the id.
  std::size_t at = 3 * 8 + kIdSize;
  for (int field = 0; field < 6; ++field) {
    const std::uint64_t length = u64_at(blob, at);
    for (std::uint64_t hostile : {~std::uint64_t{0}, std::uint64_t{1} << 32,
                                  static_cast<std::uint64_t>(blob.size()), length + 1}) {
      Bytes bad = blob;
      put_u64(bad, at, hostile);
      expect_refused(bad, bob.derivation, "field " + std::to_string(field));
    }
    at += 8 + length;
  }
  EXPECT_EQ(at, blob.size());
}

TEST_F(IesTest, WrongRecipientContainerOrSenderIsRefused) {
  Party carol;
  const Bytes blob = seal_for(alice, bob, plaintext());
  const BlobView v = parse(blob);
  EXPECT_THROW(open(v, carol.derivation), OpenFailure);
  EXPECT_THROW(open(v, bob.signing), OpenFailure);
  ContainerId other = kId;
  other[15] ^= 1;
  EXPECT_THROW(open(v, bob.derivation, nullptr, &other), OpenFailure);
  const ec::PublicKey not_alice = carol.signing.public_key();
  EXPECT_THROW(open(v, bob.derivation, &not_alice), OpenFailure);
}

TEST_F(IesTest, KeysOffTheCurveAreRefusedWhenSealing) {
  const ec::PrivateKey p256 = ec::PrivateKey::generate(ec::Curve::P256);
  const ec::PublicKey p256_public = p256.public_key();
  const Bytes data = plaintext();
  EXPECT_THROW(seal(data, kId, Sender{p256, 0}, Recipient{bob.derivation.public_key(), 0}),
               InvalidArgument);
  EXPECT_THROW(seal(data, kId, Sender{alice.signing, 0}, Recipient{p256_public, 0}),
               InvalidArgument);
  EXPECT_THROW(open(parse(seal_for(alice, bob, data)), p256), OpenFailure);
}

TEST(EcPointTest, KeysTravelAsUncompressedPointsAndTheInfinityEncodingIsRefused) {
  const ec::PrivateKey key = ec::PrivateKey::generate(ec::Curve::P384);
  const Bytes point = key.to_point();
  ASSERT_EQ(point.size(), kPointSize);
  EXPECT_EQ(point[0], 0x04);
  EXPECT_EQ(key.public_key().to_point(), point);
  EXPECT_TRUE(ec::PublicKey::from_point(ec::Curve::P384, point).same_key(key.public_key()));
  Bytes off_curve = point;
  off_curve.back() ^= 1;
  for (const Bytes& bad : {Bytes{0x00}, Bytes{}, off_curve})
    EXPECT_THROW(ec::PublicKey::from_point(ec::Curve::P384, bad), InvalidArgument);
}

TEST_F(IesTest, IndexesTravelAsFullSixtyFourBitValues) {
  const std::uint64_t big = (std::uint64_t{1} << 63) + 7;
  const Bytes blob = seal(plaintext(), kId, Sender{alice.signing, big},
                          Recipient{bob.derivation.public_key(), ~0ull});
  const BlobView v = parse(blob);
  EXPECT_EQ(v.sender_key_index, big);
  EXPECT_EQ(v.recipient_key_index, ~0ull);
}

}  // namespace
}  // namespace velna::ies
