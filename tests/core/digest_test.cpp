// Message digests: the NIST CAVS byte-oriented vectors for every hash, and
// the incremental Hasher (split input, copies, moves).
#include "velna/crypto/digest.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

const std::pair<HashKind, const char*> kVectorFiles[] = {
    {HashKind::Sha1, "hashes/SHA1/SHA1ShortMsg.rsp"},
    {HashKind::Sha224, "hashes/SHA2/SHA224ShortMsg.rsp"},
    {HashKind::Sha256, "hashes/SHA2/SHA256ShortMsg.rsp"},
    {HashKind::Sha384, "hashes/SHA2/SHA384ShortMsg.rsp"},
    {HashKind::Sha512, "hashes/SHA2/SHA512ShortMsg.rsp"},
};

// The message of a record: Len counts bits, and an empty message is written
// as one zero byte.
Bytes message(const Record& r) {
  Bytes msg = unhex(r.at("Msg"));
  msg.resize(std::stoul(r.at("Len")) / 8);
  return msg;
}

TEST(DigestKnownAnswers, NistShortMessagesForEveryHash) {
  for (const auto& [kind, file] : kVectorFiles) {
    const auto records = read_records(file);
    ASSERT_GT(records.size(), 60u) << file;
    for (const Record& r : records) {
      const Bytes msg = message(r);
      EXPECT_EQ(hex_digest(kind, msg), r.at("MD")) << r.name();
      // Fed in two parts through the incremental context, the same digest.
      Hasher h(kind);
      h.update(ByteView(msg.data(), msg.size() / 2));
      h.update(ByteView(msg.data() + msg.size() / 2, msg.size() - msg.size() / 2));
      EXPECT_EQ(to_hex(h.finalize()), r.at("MD")) << r.name();
    }
  }
}

TEST(Digest, NamesSizesAndSha384) {
  EXPECT_EQ(hash_name(HashKind::Sha384), "sha384");
  EXPECT_EQ(hash_kind_from_name("sha256"), HashKind::Sha256);
  EXPECT_EQ(hash_kind_from_name("md5"), std::nullopt);
  EXPECT_EQ(digest_size(HashKind::Sha384), 48u);
  EXPECT_EQ(block_size(HashKind::Sha384), 128u);
  EXPECT_EQ(to_hex(sha384(as_bytes("abc"))),
            "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded163"
            "1a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7");
}

TEST(Hasher, CopiesAreIndependentAndMovesCarryTheState) {
  Hasher h(HashKind::Sha384);
  h.update(as_bytes("ab"));
  Hasher copy = h.copy();
  h.update(as_bytes("c"));
  copy.update(as_bytes("x"));
  Hasher moved = std::move(h);
  EXPECT_EQ(moved.finalize(), to_vec(sha384(as_bytes("abc"))));
  EXPECT_EQ(copy.finalize(), to_vec(sha384(as_bytes("abx"))));
  EXPECT_EQ(moved.kind(), HashKind::Sha384);
}

}  // namespace
}  // namespace velna
