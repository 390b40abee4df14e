// AES-CTR: published vectors, refusals and long inputs.
#include "velna/crypto/aes.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <climits>
#include <cstdint>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

struct CtrCase {
  std::string name;
  Bytes key, iv, plaintext, ciphertext;
};

void check_ctr(const CtrCase& c) {
  EXPECT_EQ(aes::ctr_transform(c.key, c.iv, c.plaintext), c.ciphertext) << c.name << " encrypt";
  EXPECT_EQ(aes::ctr_transform(c.key, c.iv, c.ciphertext), c.plaintext) << c.name << " decrypt";
  Bytes in_place = c.plaintext;
  aes::ctr_transform(c.key, c.iv, in_place, in_place.data());
  EXPECT_EQ(in_place, c.ciphertext) << c.name << " in place";
  // One key schedule for several IVs: a partial block under another IV must
  // not carry over into the next transformation.
  aes::Ctr ctr(c.key);
  Bytes scratch(5);
  ctr.transform(Bytes(16, 0x33), Bytes(5, 0), scratch.data());
  Bytes out(c.plaintext.size());
  ctr.transform(c.iv, c.plaintext, out.data());
  EXPECT_EQ(out, c.ciphertext) << c.name << " after another IV on one key schedule";
}

TEST(AesCtrKnownAnswers, NistSp800_38aCtrAes256) {
  // SP 800-38A F.5.5 (encrypt) and F.5.6 (decrypt) share key, counter and
  // blocks; check_ctr runs both directions.
  const std::string plaintext =
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
  const std::string ciphertext =
      "601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
      "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6";
  CtrCase c{"SP 800-38A F.5.5/F.5.6",
            unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"),
            unhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"), unhex(plaintext), unhex(ciphertext)};
  check_ctr(c);
  // Every prefix, including partial blocks, is the prefix of the key stream.
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 33u, 63u}) {
    Bytes pt(c.plaintext.begin(), c.plaintext.begin() + n);
    Bytes ct(c.ciphertext.begin(), c.ciphertext.begin() + n);
    EXPECT_EQ(aes::ctr_transform(c.key, c.iv, pt), ct) << c.name << " prefix " << n;
  }
}

TEST(AesCtrKnownAnswers, Rfc3686VectorsForEveryKeySize) {
  int cases = 0;
  for (const char* file : {"ciphers/AES/CTR/aes-128-ctr.txt", "ciphers/AES/CTR/aes-192-ctr.txt",
                           "ciphers/AES/CTR/aes-256-ctr.txt"}) {
    for (const auto& r : read_records(file)) {
      check_ctr({r.name(), unhex(r.at("KEY")), unhex(r.at("IV")), unhex(r.at("PLAINTEXT")),
                 unhex(r.at("CIPHERTEXT"))});
      ++cases;
    }
  }
  EXPECT_EQ(cases, 9);
}

TEST(Aes, RefusesKeySizesOtherThan16_24_32AndIvsOtherThan16) {
  const Bytes data(40, 0x5a);
  for (std::size_t key_size : {0, 1, 8, 15, 17, 23, 25, 31, 33, 48, 64}) {
    Bytes key(key_size, 1), iv(16, 2);
    expect_failure<InvalidArgument>([&] { aes::ctr_transform(key, iv, data); },
                                    "key of " + std::to_string(key_size) + " bytes");
  }
  for (std::size_t iv_size : {0, 1, 8, 12, 15, 17, 32}) {
    Bytes key(32, 1), iv(iv_size, 2);
    expect_failure<InvalidArgument>([&] { aes::ctr_transform(key, iv, data); },
                                    "IV of " + std::to_string(iv_size) + " bytes");
  }
  for (std::size_t key_size : {16, 24, 32}) {
    Bytes key(key_size, 1), iv(16, 2);
    EXPECT_EQ(aes::ctr_transform(key, iv, data).size(), data.size()) << key_size;
  }
}

TEST(Aes, CtrRefusesABadKeyWhenMadeAndABadIvWhenUsed) {
  for (std::size_t key_size : {0, 15, 33})
    EXPECT_THROW(aes::Ctr(Bytes(key_size, 1)), InvalidArgument);
  aes::Ctr ctr(Bytes(32, 1));
  Bytes out(4, 0xee);
  EXPECT_THROW(ctr.transform(Bytes(15, 0), Bytes(4, 0), out.data()), InvalidArgument);
  EXPECT_EQ(out, Bytes(4, 0xee));
}

TEST(Aes, CounterCarriesAcrossTheWholeIvAsA128BitNumber) {
  // An IV of all ones wraps to zero after the first block.
  Bytes key(32, 7), iv(16, 0xff), zero_iv(16, 0);
  Bytes two_blocks = aes::ctr_transform(key, iv, Bytes(32, 0));
  Bytes next = aes::ctr_transform(key, zero_iv, Bytes(16, 0));
  EXPECT_EQ(Bytes(two_blocks.begin() + 16, two_blocks.end()), next);
}

TEST(Aes, MakeIvIsEightRandomBytesThenEightZeros) {
  aes::Iv a = aes::make_iv(), b = aes::make_iv();
  EXPECT_EQ(Bytes(a.begin() + 8, a.end()), Bytes(8, 0));
  EXPECT_NE(Bytes(a.begin(), a.begin() + 8), Bytes(b.begin(), b.begin() + 8));
}

TEST(Aes, DataAboveIntMaxIsHandledInPieces) {
  // One EVP update takes at most INT_MAX bytes. 2 GiB + 32 zero bytes are
  // transformed in place (anonymous pages, released at the end); the key
  // stream at the end must be the one that the 128-bit counter reaches there.
  const std::size_t size = (std::size_t{1} << 31) + 32;
  void* mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) GTEST_SKIP() << "cannot map 2 GiB here";
  std::unique_ptr<void, std::function<void(void*)>> unmap(mem,
                                                          [size](void* p) { munmap(p, size); });
  madvise(mem, size, MADV_HUGEPAGE);  // fewer page faults where the kernel allows it
  auto* data = static_cast<std::uint8_t*>(mem);
  const Bytes key(32, 0x24);
  const Bytes iv(16, 0);
  aes::ctr_transform(key, iv, ByteView(data, size), data);

  const std::size_t tail = 64;
  const std::uint64_t block = (size - tail) / aes::kBlockSize;
  Bytes tail_iv(16, 0);
  for (int i = 0; i < 8; ++i) tail_iv[15 - i] = static_cast<std::uint8_t>(block >> (8 * i));
  // The tail lies more than PTRDIFF_MAX bytes into the mapping on 32-bit
  // targets, which GCC flags in pointer arithmetic: its address is reached as
  // an integer.
  const auto* last =
      reinterpret_cast<const std::uint8_t*>(reinterpret_cast<std::uintptr_t>(mem) + (size - tail));
  EXPECT_EQ(Bytes(last, last + tail), aes::ctr_transform(key, tail_iv, Bytes(tail, 0)));
  EXPECT_EQ(Bytes(data, data + 32), aes::ctr_transform(key, iv, Bytes(32, 0)));
}

TEST(Aes, CtrMovesWithItsKeySchedule) {
  const Bytes key(32, 7), iv(16, 9), data(40, 1);
  aes::Ctr ctr(key);
  aes::Ctr moved = std::move(ctr);
  Bytes out(data.size());
  moved.transform(iv, data, out.data());
  EXPECT_EQ(out, aes::ctr_transform(key, iv, data));
}

}  // namespace
}  // namespace velna
