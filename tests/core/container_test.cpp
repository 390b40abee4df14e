#include "velna/crypto/container.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/error.h"
#include "velna/log.h"

namespace velna::container {
namespace {

using test::Line;
using test::to_vec;
using test::unhex;

Bytes pattern(std::size_t n, std::uint8_t seed) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return out;
}

std::uint64_t get_u64(const Bytes& b, std::size_t offset) {
  std::uint64_t v = 0;
  for (std::size_t i = 8; i-- > 0;) v = (v << 8) | b.at(offset + i);
  return v;
}

void set_u64(Bytes& b, std::size_t offset, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) b.at(offset + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

const Bytes kCipherKey = pattern(32, 0x11);
const Bytes kMacKey = pattern(128, 0x5a);

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kAbove32Bits = (std::uint64_t{1} << 32) + 16;

// Each prefix is copied into a buffer of its own exact size, so that a read
// past the end is caught by AddressSanitizer instead of landing in the rest
// of the original.
void expect_parse_error_at_every_truncation(const Bytes& full,
                                            const std::function<void(ByteView)>& parse) {
  for (std::size_t n = 0; n < full.size(); ++n) {
    auto prefix = std::make_unique<std::uint8_t[]>(n ? n : 1);
    std::copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n), prefix.get());
    EXPECT_THROW(parse(ByteView(prefix.get(), n)), ParseError) << "truncated to " << n;
  }
  EXPECT_NO_THROW(parse(full));
}

void expect_parse_error_for_huge_lengths(const Bytes& full, const std::vector<std::size_t>& offsets,
                                         const std::function<void(ByteView)>& parse) {
  for (std::size_t offset : offsets) {
    for (std::uint64_t value : {kMaxU64, kAbove32Bits, std::uint64_t{full.size()}}) {
      Bytes changed = full;
      set_u64(changed, offset, value);
      EXPECT_THROW(parse(changed), ParseError) << "length at " << offset << " = " << value;
    }
  }
}

class ContainerLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink_ = std::make_shared<test::RecordingSink>();
    log::set_sink(sink_);
  }
  void TearDown() override { log::set_sink(nullptr); }
  const std::vector<Line>& lines() const { return sink_->lines; }

  // expect_digest_failure checks the error, its one log line, and that the
  // output buffer was not written.
  void expect_digest_failure(ByteView cipher_key, ByteView mac_key, ByteView section,
                             const std::string& label) {
    const std::size_t before = lines().size();
    SectionView view = parse_section(section);
    EXPECT_FALSE(section_digest_matches(mac_key, view)) << label;
    Bytes out(view.encrypted.size() + 1, 0xee);
    try {
      decrypt_section(cipher_key, mac_key, view, out);
      ADD_FAILURE() << label << ": no DecryptionError";
    } catch (const DecryptionError& e) {
      EXPECT_STREQ(e.what(), "Container Digest verification failure.") << label;
    }
    EXPECT_EQ(out, Bytes(out.size(), 0xee)) << label << ": output written";
    ASSERT_EQ(lines().size(), before + 1) << label;
    EXPECT_EQ(lines().back().logger, "velna.crypto.container") << label;
    EXPECT_EQ(lines().back().level, log::Level::Error) << label;
    EXPECT_EQ(lines().back().text, "Container Digest verification failure.") << label;
  }

 private:
  std::shared_ptr<test::RecordingSink> sink_;
};

// --- Sizes -----------------------------------------------------------------

TEST(ContainerSizeTest, SectionIs88PlusPlaintextBytesWithFieldsAtFixedOffsets) {
  for (std::size_t n : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    Bytes section = encrypt_section(kCipherKey, kMacKey, pattern(n, 3));
    EXPECT_EQ(section_size(n), 88 + n) << n;
    ASSERT_EQ(section.size(), 88 + n) << n;
    EXPECT_EQ(get_u64(section, 0), 16u) << n;
    EXPECT_EQ(get_u64(section, 24), n) << n;
    EXPECT_EQ(get_u64(section, 32 + n), 48u) << n;
    SectionView v = parse_section(section);
    EXPECT_EQ(v.encrypted.data(), section.data() + 32) << n;
    EXPECT_EQ(v.digest.data(), section.data() + 40 + n) << n;
    EXPECT_EQ(v.size(), section.size()) << n;
    EXPECT_EQ(section_size(v), section.size()) << n;
  }
}

TEST(ContainerSizeTest, BlobIs232PlusHeaderAndContentBytes) {
  struct Case {
    std::size_t h, c;
  };
  for (Case k : {Case{0, 0}, Case{1, 0}, Case{0, 1}, Case{37, 500}}) {
    Bytes header = encrypt_section(kCipherKey, kMacKey, pattern(k.h, 1));
    Bytes content = encrypt_section(kCipherKey, kMacKey, pattern(k.c, 2));
    SectionView hv = parse_section(header), cv = parse_section(content);
    Bytes blob = build_blob(make_preamble(Oid{}, hv.size(), cv.size()), hv, cv);
    EXPECT_EQ(blob_size(k.h, k.c), 232 + k.h + k.c);
    EXPECT_EQ(blob.size(), 232 + k.h + k.c);
    EXPECT_EQ(blob_size(hv, cv), blob.size());
  }
}

TEST(ContainerSizeTest, SizesBeyondTheAddressSpaceAreBuildErrors) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(section_size(kMax - 88), kMax);
  EXPECT_THROW(section_size(kMax - 87), BuildError);
  EXPECT_THROW(blob_size(kMax - 232, 1), BuildError);
  EXPECT_THROW(blob_size(1, kMax), BuildError);
  EXPECT_EQ(key_blob_size(32, 128), 200u);
  EXPECT_THROW(key_blob_size(kMax, 1), BuildError);
}

// --- UUID field order --------------------------------------------------------

Oid oid_of_hex(const char* hex) {
  Bytes b = unhex(hex);
  Oid o{};
  EXPECT_EQ(b.size(), o.size()) << hex;
  std::copy_n(b.begin(), std::min(b.size(), o.size()), o.begin());
  return o;
}

TEST(ContainerUuidTest, BytesLeSwapsTheFirstThreeFields) {
  // uuid.UUID("00112233-4455-6677-8899-aabbccddeeff").bytes_le
  Oid standard = oid_of_hex("00112233445566778899aabbccddeeff");
  Oid expected = oid_of_hex("33221100554477668899aabbccddeeff");
  EXPECT_EQ(uuid_to_bytes_le(standard), expected);
  EXPECT_EQ(uuid_from_bytes_le(expected), standard);
  EXPECT_EQ(uuid_from_bytes_le(uuid_to_bytes_le(standard)), standard);
}

TEST(ContainerUuidTest, OidIsExactlySixteenBytes) {
  const Bytes sixteen = pattern(16, 9);
  Oid oid = oid_from(sixteen);
  EXPECT_EQ(Bytes(oid.begin(), oid.end()), sixteen);
  for (std::size_t n : {0, 1, 15, 17, 32}) {
    try {
      oid_from(pattern(n, 9));
      ADD_FAILURE() << n << " bytes: no BuildError";
    } catch (const BuildError& e) {
      EXPECT_STREQ(e.what(), "oid must be 16 bytes") << n;
    }
  }
}

TEST(ContainerUuidTest, Uuid4SetsOnlyTheVersionAndVariantBits) {
  // Expected values from Python: uuid.UUID(bytes=bytes.fromhex(in), version=4).bytes
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"00000000000000000000000000000000", "00000000000040008000000000000000"},
      {"ffffffffffffffffffffffffffffffff", "ffffffffffff4fffbfffffffffffffff"},
      {"00112233445566778899aabbccddeeff", "00112233445546778899aabbccddeeff"},
      {"f1e2d3c4b5a6978879695a4b3c2d1e0f", "f1e2d3c4b5a64788b9695a4b3c2d1e0f"},
  };
  for (const Case& c : cases) EXPECT_EQ(uuid4_from(oid_of_hex(c.in)), oid_of_hex(c.out)) << c.in;
}

TEST(ContainerUuidTest, NewUuid4IsAFreshVersion4Identifier) {
  Oid first = new_uuid4(), second = new_uuid4();
  EXPECT_NE(first, second);
  for (const Oid& id : {first, second}) {
    EXPECT_EQ(id[6] >> 4, 4);
    EXPECT_EQ(id[8] >> 6, 2);
    EXPECT_EQ(uuid4_from(id), id);
  }
}

// --- Section layout and encryption ------------------------------------------

TEST(ContainerSectionTest, KnownAnswerFromPublishedVectors) {
  // AES-256-CTR from NIST SP 800-38A F.5.5 gives the keystream of its first
  // block; the plaintext is chosen so that the ciphertext is "Hi There",
  // whose HMAC-SHA384 under twenty 0x0b bytes is RFC 4231 test case 1.
  Bytes key = unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  Bytes iv = unhex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
  Bytes nist_pt = unhex("6bc1bee22e409f96");
  Bytes nist_ct = unhex("601ec313775789a5");
  std::string wanted = "Hi There";
  Bytes plaintext(8);
  for (std::size_t i = 0; i < 8; ++i)
    plaintext[i] = static_cast<std::uint8_t>(nist_pt[i] ^ nist_ct[i] ^ wanted[i]);
  Bytes mac_key(20, 0x0b);

  Bytes expected;
  auto append = [&](const Bytes& b) { expected.insert(expected.end(), b.begin(), b.end()); };
  append(unhex("1000000000000000"));
  append(iv);
  append(unhex("0800000000000000"));
  append(to_vec(as_bytes(wanted)));
  append(unhex("3000000000000000"));
  append(
      unhex("afd03944d84895626b0825f4ab46907f15f9dadbe4101ec682aa034c7cebc59c"
            "faea9ea9076ede7f4af152e8b2fa9cb6"));

  EXPECT_EQ(encrypt_section_with_iv(key, mac_key, iv, plaintext), expected);
  EXPECT_EQ(decrypt_section(key, mac_key, parse_section(expected)), plaintext);
}

TEST(ContainerSectionTest, MatchesAnIndependentOpenSslComputation) {
  Bytes plaintext = pattern(1000, 9);
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  SectionView v = parse_section(section);

  Bytes ciphertext(plaintext.size());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  ASSERT_NE(ctx, nullptr);
  int len = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, kCipherKey.data(), v.iv.data()), 1);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, ciphertext.data(), &len, plaintext.data(),
                              static_cast<int>(plaintext.size())),
            1);
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_EQ(to_vec(v.encrypted), ciphertext);

  std::uint8_t tag[EVP_MAX_MD_SIZE];
  unsigned int tag_len = 0;
  ASSERT_NE(HMAC(EVP_sha384(), kMacKey.data(), static_cast<int>(kMacKey.size()), ciphertext.data(),
                 ciphertext.size(), tag, &tag_len),
            nullptr);
  EXPECT_EQ(to_vec(v.digest), Bytes(tag, tag + tag_len));
}

TEST(ContainerSectionTest, RoundTripsPlaintexts) {
  const std::vector<Bytes> cases = {Bytes{}, Bytes{0x00},
                                    to_vec(as_bytes("\xc3\xa4\xc3\xb6\xc3\xbc")), pattern(16, 1),
                                    pattern(4097, 2)};
  for (const Bytes& plaintext : cases) {
    Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
    EXPECT_EQ(get_u64(section, 24), plaintext.size());
    EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, parse_section(section)), plaintext)
        << plaintext.size();
  }
}

TEST(ContainerSectionTest, EmptyPlaintextGives88BytesAndTheDigestOfTheEmptyString) {
  Bytes section = encrypt_section(kCipherKey, kMacKey, Bytes{});
  ASSERT_EQ(section.size(), 88u);
  SectionView v = parse_section(section);
  EXPECT_TRUE(v.encrypted.empty());
  std::uint8_t tag[EVP_MAX_MD_SIZE];
  unsigned int tag_len = 0;
  std::uint8_t nothing = 0;
  HMAC(EVP_sha384(), kMacKey.data(), static_cast<int>(kMacKey.size()), &nothing, 0, tag, &tag_len);
  EXPECT_EQ(to_vec(v.digest), Bytes(tag, tag + tag_len));
  EXPECT_TRUE(decrypt_section(kCipherKey, kMacKey, v).empty());
}

TEST(ContainerSectionTest, EveryEncryptionDrawsAFreshIv) {
  Bytes plaintext = pattern(64, 4);
  Bytes a = encrypt_section(kCipherKey, kMacKey, plaintext);
  Bytes b = encrypt_section(kCipherKey, kMacKey, plaintext);
  ASSERT_EQ(a.size(), b.size());
  SectionView va = parse_section(a), vb = parse_section(b);
  EXPECT_NE(to_vec(va.iv), to_vec(vb.iv));
  EXPECT_NE(to_vec(va.encrypted), to_vec(vb.encrypted));
  EXPECT_NE(to_vec(va.digest), to_vec(vb.digest));
  // The counter half of the initial block starts at zero.
  EXPECT_EQ(Bytes(va.iv.begin() + 8, va.iv.end()), Bytes(8, 0));
}

TEST(ContainerSectionTest, ParsedViewsPointIntoTheInputAndRebuildByteForByte) {
  Bytes section = encrypt_section(kCipherKey, kMacKey, pattern(21, 5));
  SectionView v = parse_section(section);
  EXPECT_EQ(v.iv.data(), section.data() + 8);
  EXPECT_EQ(v.bytes.data(), section.data());
  EXPECT_EQ(build_section(v), section);
  Bytes out(section.size() + 3, 0xcc);
  EXPECT_EQ(write_section(v, out), section.size());
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(section.size())), section);
  EXPECT_EQ(Bytes(out.end() - 3, out.end()), Bytes(3, 0xcc));
}

TEST(ContainerSectionTest, FieldsOfAnyLengthIncludingNoneBuildAndParse) {
  Bytes iv = pattern(3, 1), digest = pattern(5, 2);
  SectionView fields{iv, ByteView{}, digest, {}};
  Bytes section = build_section(fields);
  ASSERT_EQ(section.size(), 24u + 3 + 5);
  SectionView v = parse_section(section);
  EXPECT_EQ(to_vec(v.iv), iv);
  EXPECT_TRUE(v.encrypted.empty());
  EXPECT_EQ(to_vec(v.digest), digest);
  EXPECT_EQ(parse_section(Bytes(24, 0)).size(), 24u);
}

TEST(ContainerSectionTest, TrailingBytesAreIgnored) {
  Bytes plaintext = pattern(30, 6);
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  Bytes longer = section;
  longer.insert(longer.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(parse_section(longer).size(), section.size());
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, parse_section(longer)), plaintext);
}

TEST(ContainerSectionTest, TruncatedSectionIsAParseErrorAtEveryOffset) {
  Bytes section = encrypt_section(kCipherKey, kMacKey, pattern(13, 7));
  expect_parse_error_at_every_truncation(section, [](ByteView d) { parse_section(d); });
}

TEST(ContainerSectionTest, HugeLengthFieldsAreParseErrors) {
  const std::size_t n = 13;
  Bytes section = encrypt_section(kCipherKey, kMacKey, pattern(n, 8));
  expect_parse_error_for_huge_lengths(section, {0, 24, 32 + n},
                                      [](ByteView d) { parse_section(d); });
}

TEST(ContainerSectionTest, BadCipherKeyOrIvIsRefusedBeforeAnythingIsWritten) {
  Bytes plaintext = pattern(10, 1);
  Bytes out(section_size(plaintext.size()), 0xab);
  for (std::size_t key_size : {0u, 31u, 33u, 64u}) {
    EXPECT_THROW(encrypt_section(pattern(key_size, 1), kMacKey, plaintext, out), InvalidArgument)
        << key_size;
  }
  for (std::size_t iv_size : {0u, 8u, 15u, 17u}) {
    EXPECT_THROW(encrypt_section_with_iv(kCipherKey, kMacKey, pattern(iv_size, 2), plaintext, out),
                 InvalidArgument)
        << iv_size;
  }
  EXPECT_EQ(out, Bytes(out.size(), 0xab));
}

TEST(ContainerSectionTest, TooSmallOutputIsAnInvalidArgument) {
  Bytes plaintext = pattern(10, 1);
  Bytes out(section_size(plaintext.size()) - 1, 0xab);
  EXPECT_THROW(encrypt_section(kCipherKey, kMacKey, plaintext, out), InvalidArgument);
  EXPECT_EQ(out, Bytes(out.size(), 0xab));
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  SectionView v = parse_section(section);
  Bytes small(section.size() - 1);
  EXPECT_THROW(write_section(v, small), InvalidArgument);
  Bytes plain_out(plaintext.size() - 1);
  EXPECT_THROW(decrypt_section(kCipherKey, kMacKey, v, plain_out), InvalidArgument);
}

// --- Section verification ------------------------------------------------------

TEST_F(ContainerLogTest, ChangedSectionsFailVerificationWithOneLogLine) {
  const std::size_t n = 40;
  const Bytes section = encrypt_section(kCipherKey, kMacKey, pattern(n, 3));
  const std::size_t digest_at = 40 + n;

  struct Case {
    const char* label;
    std::function<Bytes(Bytes)> change;
  };
  const std::vector<Case> cases = {
      {"ciphertext byte",
       [](Bytes s) {
         s[32] ^= 0x01;
         return s;
       }},
      {"last ciphertext byte",
       [&](Bytes s) {
         s[32 + n - 1] ^= 0x80;
         return s;
       }},
      {"first digest byte",
       [&](Bytes s) {
         s[digest_at] ^= 0x01;
         return s;
       }},
      {"last digest byte",
       [](Bytes s) {
         s.back() ^= 0x01;
         return s;
       }},
      {"shortened digest",
       [&](Bytes s) {
         set_u64(s, digest_at - 8, 47);
         s.pop_back();
         return s;
       }},
      {"lengthened digest",
       [&](Bytes s) {
         set_u64(s, digest_at - 8, 49);
         s.push_back(0);
         return s;
       }},
      {"no digest",
       [&](Bytes s) {
         set_u64(s, digest_at - 8, 0);
         s.resize(digest_at);
         return s;
       }},
      {"shortened ciphertext",
       [&](Bytes s) {
         set_u64(s, 24, n - 1);
         s.erase(s.begin() + 32 + static_cast<std::ptrdiff_t>(n) - 1);
         return s;
       }},
  };
  for (const Case& c : cases)
    expect_digest_failure(kCipherKey, kMacKey, c.change(section), c.label);
  expect_digest_failure(kCipherKey, pattern(128, 0x77), section, "other MAC key");
  expect_digest_failure(kCipherKey, Bytes{}, section, "empty MAC key");
  EXPECT_EQ(lines().size(), cases.size() + 2);
}

TEST_F(ContainerLogTest, ChangedIvPassesVerificationAndDecryptsToOtherBytes) {
  Bytes plaintext = pattern(33, 4);
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  EXPECT_TRUE(section_digest_matches(kMacKey, parse_section(section)));
  section[8] ^= 0x01;
  EXPECT_TRUE(section_digest_matches(kMacKey, parse_section(section)));
  Bytes other = decrypt_section(kCipherKey, kMacKey, parse_section(section));
  EXPECT_EQ(other.size(), plaintext.size());
  EXPECT_NE(other, plaintext);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ContainerLogTest, OtherCipherKeyPassesVerificationAndGivesOtherBytes) {
  Bytes plaintext = pattern(33, 4);
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  Bytes other = decrypt_section(pattern(32, 0x99), kMacKey, parse_section(section));
  EXPECT_EQ(other.size(), plaintext.size());
  EXPECT_NE(other, plaintext);
  EXPECT_TRUE(lines().empty());
}

TEST_F(ContainerLogTest, BadIvOrKeyIsRefusedOnlyAfterVerification) {
  // A section whose IV is 8 bytes but whose digest is right: the digest does
  // not cover the IV, so the cipher refuses it after the check passes.
  Bytes ciphertext = pattern(12, 6);
  Bytes iv = pattern(8, 1);
  Bytes digest(48);
  unsigned int tag_len = 0;
  HMAC(EVP_sha384(), kMacKey.data(), static_cast<int>(kMacKey.size()), ciphertext.data(),
       ciphertext.size(), digest.data(), &tag_len);
  Bytes section = build_section(SectionView{iv, ciphertext, digest, {}});
  EXPECT_THROW(decrypt_section(kCipherKey, kMacKey, parse_section(section)), InvalidArgument);
  EXPECT_THROW(decrypt_section(pattern(31, 1), kMacKey, parse_section(section)), InvalidArgument);
  EXPECT_TRUE(lines().empty());
  expect_digest_failure(kCipherKey, pattern(128, 3), section, "bad IV and bad digest");

  Bytes empty = encrypt_section(kCipherKey, kMacKey, Bytes{});
  EXPECT_THROW(decrypt_section(pattern(5, 1), kMacKey, parse_section(empty)), InvalidArgument);
}

TEST_F(ContainerLogTest, DecryptsInPlace) {
  Bytes plaintext = pattern(100, 2);
  Bytes section = encrypt_section(kCipherKey, kMacKey, plaintext);
  SectionView v = parse_section(section);
  MutableByteView in_place(section.data() + 32, v.encrypted.size());
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v, in_place), plaintext.size());
  EXPECT_EQ(to_vec(in_place), plaintext);
}

// --- Container blob -----------------------------------------------------------

struct BlobFixture {
  Bytes header_plain = to_vec(as_bytes("{\"version\": 1, \"customData\": {\"a\": 1}}"));
  Bytes content_plain = pattern(57, 0x42);
  Bytes header = encrypt_section(kCipherKey, kMacKey, header_plain);
  Bytes content = encrypt_section(kCipherKey, kMacKey, content_plain);
  Oid oid = uuid_to_bytes_le(Oid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                 0xbb, 0xcc, 0xdd, 0xee, 0xff});
  Bytes blob() const {
    SectionView hv = parse_section(header), cv = parse_section(content);
    return build_blob(make_preamble(oid, hv.size(), cv.size()), hv, cv);
  }
};

TEST(ContainerBlobTest, RoundTripsWithTheWrittenPreamble) {
  BlobFixture f;
  Bytes blob = f.blob();
  ASSERT_EQ(blob.size(), 232 + f.header_plain.size() + f.content_plain.size());
  EXPECT_EQ(get_u64(blob, 0), 1u);
  EXPECT_EQ(Bytes(blob.begin() + 8, blob.begin() + 24), Bytes(f.oid.begin(), f.oid.end()));
  EXPECT_EQ(get_u64(blob, 24), 0u);
  EXPECT_EQ(get_u64(blob, 32), 0u);
  EXPECT_EQ(get_u64(blob, 40), f.header.size());
  EXPECT_EQ(get_u64(blob, 48), f.content.size());
  EXPECT_EQ(get_u64(blob, 56), 16u);
  EXPECT_EQ(
      Bytes(blob.begin() + 56, blob.begin() + 56 + static_cast<std::ptrdiff_t>(f.header.size())),
      f.header);
  EXPECT_EQ(Bytes(blob.begin() + 56 + static_cast<std::ptrdiff_t>(f.header.size()), blob.end()),
            f.content);

  BlobView v = parse_blob(blob);
  EXPECT_EQ(v.size(), blob.size());
  EXPECT_EQ(v.preamble.version, 1u);
  EXPECT_EQ(v.preamble.oid, f.oid);
  EXPECT_EQ(v.header.bytes.data(), blob.data() + 56);
  EXPECT_EQ(v.content.bytes.data(), blob.data() + 56 + v.preamble.header_length);
  EXPECT_EQ(to_vec(v.header.bytes), f.header);
  EXPECT_EQ(to_vec(v.content.bytes), f.content);
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v.header), f.header_plain);
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v.content), f.content_plain);
  EXPECT_EQ(build_blob(v.preamble, v.header, v.content), blob);
}

TEST(ContainerBlobTest, EncryptBlobWritesWhatTheSectionWritersWouldWithTwoFreshIvs) {
  BlobFixture f;
  Bytes blob = encrypt_blob(f.oid, kCipherKey, kMacKey, f.header_plain, f.content_plain);
  ASSERT_EQ(blob.size(), blob_size(f.header_plain.size(), f.content_plain.size()));
  BlobView v = parse_blob(blob);
  EXPECT_EQ(v.size(), blob.size());
  EXPECT_EQ(v.preamble.version, 1u);
  EXPECT_EQ(v.preamble.oid, f.oid);
  EXPECT_EQ(v.preamble.cipher_index, 0u);
  EXPECT_EQ(v.preamble.mac_index, 0u);
  EXPECT_EQ(v.preamble.header_length, section_size(f.header_plain.size()));
  EXPECT_EQ(v.preamble.content_length, section_size(f.content_plain.size()));
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v.header), f.header_plain);
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v.content), f.content_plain);
  // Each section is exactly what encrypt_section_with_iv makes with its IV.
  for (const SectionView* s : {&v.header, &v.content}) {
    Bytes plain = decrypt_section(kCipherKey, kMacKey, *s);
    EXPECT_EQ(encrypt_section_with_iv(kCipherKey, kMacKey, s->iv, plain), to_vec(s->bytes));
    EXPECT_EQ(to_vec(s->iv.subspan(8)), Bytes(8, 0));
  }
  EXPECT_NE(to_vec(v.header.iv), to_vec(v.content.iv));
  Bytes again = encrypt_blob(f.oid, kCipherKey, kMacKey, f.header_plain, f.content_plain);
  EXPECT_NE(to_vec(parse_blob(again).header.iv), to_vec(v.header.iv));
  // Empty portions make the smallest blob.
  Bytes empty = encrypt_blob(f.oid, kCipherKey, kMacKey, {}, {});
  EXPECT_EQ(empty.size(), 232u);
  EXPECT_TRUE(decrypt_section(kCipherKey, kMacKey, parse_blob(empty).content).empty());
}

TEST(ContainerBlobTest, EncryptBlobRefusesBadKeysAndSmallOutputBeforeWriting) {
  BlobFixture f;
  Bytes out(blob_size(f.header_plain.size(), f.content_plain.size()), 0xee);
  const Bytes untouched = out;
  EXPECT_THROW(encrypt_blob(f.oid, Bytes(31, 1), kMacKey, f.header_plain, f.content_plain, out),
               InvalidArgument);
  EXPECT_THROW(encrypt_blob(f.oid, kCipherKey, kMacKey, f.header_plain, f.content_plain,
                            MutableByteView(out).first(out.size() - 1)),
               InvalidArgument);
  EXPECT_EQ(out, untouched);
}

TEST(ContainerBlobTest, TrailingBytesAreIgnored) {
  BlobFixture f;
  Bytes blob = f.blob();
  Bytes longer = blob;
  longer.insert(longer.end(), 100, 0x5c);
  BlobView v = parse_blob(longer);
  EXPECT_EQ(v.size(), blob.size());
  EXPECT_EQ(to_vec(v.content.bytes), f.content);
}

TEST(ContainerBlobTest, NonDefaultPreambleValuesReadTheSame) {
  BlobFixture f;
  const Bytes written = f.blob();
  const std::vector<Preamble> preambles = {
      {7, f.oid, 0, 0, f.header.size(), f.content.size()},
      {0, f.oid, 1, 2, f.header.size(), f.content.size()},
      {kMaxU64, f.oid, kMaxU64, kMaxU64, kMaxU64, kMaxU64},
      {1, f.oid, 0, 0, 0, 0},
      {1, f.oid, 0, 0, f.content.size(), f.header.size()},
      {1, f.oid, 0, 0, kAbove32Bits, kAbove32Bits},
  };
  for (std::size_t i = 0; i < preambles.size(); ++i) {
    const Preamble& p = preambles[i];
    Bytes blob = written;
    set_u64(blob, 0, p.version);
    set_u64(blob, 24, p.cipher_index);
    set_u64(blob, 32, p.mac_index);
    set_u64(blob, 40, p.header_length);
    set_u64(blob, 48, p.content_length);
    BlobView v = parse_blob(blob);
    EXPECT_EQ(v.preamble.version, p.version) << i;
    EXPECT_EQ(v.preamble.cipher_index, p.cipher_index) << i;
    EXPECT_EQ(v.preamble.mac_index, p.mac_index) << i;
    EXPECT_EQ(v.preamble.header_length, p.header_length) << i;
    EXPECT_EQ(v.preamble.content_length, p.content_length) << i;
    EXPECT_EQ(to_vec(v.header.bytes), f.header) << i;
    EXPECT_EQ(to_vec(v.content.bytes), f.content) << i;
    EXPECT_EQ(build_blob(p, v.header, v.content), blob) << i;
  }
}

TEST(ContainerBlobTest, ChangedOidChangesOnlyTheIdentifier) {
  BlobFixture f;
  Bytes blob = f.blob();
  blob[8] ^= 0xff;
  blob[23] ^= 0x01;
  BlobView v = parse_blob(blob);
  Oid expected = f.oid;
  expected[0] ^= 0xff;
  expected[15] ^= 0x01;
  EXPECT_EQ(v.preamble.oid, expected);
  EXPECT_EQ(to_vec(v.header.bytes), f.header);
  EXPECT_EQ(decrypt_section(kCipherKey, kMacKey, v.content), f.content_plain);
}

TEST(ContainerBlobTest, TruncatedBlobIsAParseErrorAtEveryOffset) {
  BlobFixture f;
  expect_parse_error_at_every_truncation(f.blob(), [](ByteView d) { parse_blob(d); });
}

TEST(ContainerBlobTest, HugeSectionLengthFieldsAreParseErrors) {
  BlobFixture f;
  const std::size_t h = f.header_plain.size(), c = f.content_plain.size();
  const std::size_t content_at = 56 + f.header.size();
  expect_parse_error_for_huge_lengths(
      f.blob(), {56, 56 + 24, 56 + 32 + h, content_at, content_at + 24, content_at + 32 + c},
      [](ByteView d) { parse_blob(d); });
}

TEST(ContainerBlobTest, TooSmallOutputIsAnInvalidArgument) {
  BlobFixture f;
  SectionView hv = parse_section(f.header), cv = parse_section(f.content);
  Bytes out(blob_size(hv, cv) - 1);
  EXPECT_THROW(write_blob(make_preamble(f.oid, hv.size(), cv.size()), hv, cv, out),
               InvalidArgument);
}

// --- Container key blob --------------------------------------------------------

TEST(ContainerKeyBlobTest, GeneratedSizeKeysGive200BytesAtKnownOffsets) {
  Bytes blob = build_key_blob(0, kCipherKey, 0, kMacKey);
  ASSERT_EQ(blob.size(), 200u);
  EXPECT_EQ(get_u64(blob, 0), 1u);
  EXPECT_EQ(get_u64(blob, 8), 0u);
  EXPECT_EQ(get_u64(blob, 16), 32u);
  EXPECT_EQ(Bytes(blob.begin() + 24, blob.begin() + 56), kCipherKey);
  EXPECT_EQ(get_u64(blob, 56), 0u);
  EXPECT_EQ(get_u64(blob, 64), 128u);
  EXPECT_EQ(Bytes(blob.begin() + 72, blob.end()), kMacKey);

  KeyBlobView v = parse_key_blob(blob);
  EXPECT_EQ(v.size(), 200u);
  EXPECT_EQ(v.cipher_key.data(), blob.data() + 24);
  EXPECT_EQ(v.mac_key.data(), blob.data() + 72);
}

TEST(ContainerKeyBlobTest, RoundTripsIndexesAndKeysOfAnyNonZeroLength) {
  struct Case {
    std::uint64_t cipher_index;
    std::size_t cipher_len;
    std::uint64_t mac_index;
    std::size_t mac_len;
  };
  for (Case c :
       {Case{0, 32, 0, 128}, Case{1, 16, 0, 128}, Case{kMaxU64, 1, 7, 1}, Case{0, 300, 2, 5}}) {
    Bytes ck = pattern(c.cipher_len, 1), mk = pattern(c.mac_len, 2);
    Bytes blob = build_key_blob(c.cipher_index, ck, c.mac_index, mk);
    ASSERT_EQ(blob.size(), 40 + c.cipher_len + c.mac_len);
    KeyBlobView v = parse_key_blob(blob);
    EXPECT_EQ(v.version, 1u);
    EXPECT_EQ(v.cipher_index, c.cipher_index);
    EXPECT_EQ(to_vec(v.cipher_key), ck);
    EXPECT_EQ(v.mac_index, c.mac_index);
    EXPECT_EQ(to_vec(v.mac_key), mk);
    EXPECT_EQ(v.size(), blob.size());
  }
}

TEST(ContainerKeyBlobTest, AnyVersionIsReadAndTrailingBytesIgnored) {
  Bytes blob = build_key_blob(1, kCipherKey, 0, kMacKey);
  set_u64(blob, 0, 7);
  blob.insert(blob.end(), 13, 0xfe);
  KeyBlobView v = parse_key_blob(blob);
  EXPECT_EQ(v.version, 7u);
  EXPECT_EQ(v.cipher_index, 1u);
  EXPECT_EQ(v.size(), 200u);
  EXPECT_EQ(to_vec(v.mac_key), kMacKey);
}

TEST(ContainerKeyBlobTest, EmptyKeysAreRefused) {
  // Blobs long enough for every field, so the refusal is not a truncation.
  Bytes no_cipher_key(40 + 64, 0);
  set_u64(no_cipher_key, 16, 0);
  set_u64(no_cipher_key, 32, 4);
  EXPECT_THROW(parse_key_blob(no_cipher_key), ParseError);

  Bytes no_mac_key = build_key_blob(0, kCipherKey, 0, kMacKey);
  set_u64(no_mac_key, 64, 0);
  EXPECT_THROW(parse_key_blob(no_mac_key), ParseError);

  Bytes out(300);
  EXPECT_THROW(build_key_blob(0, Bytes{}, 0, kMacKey), BuildError);
  EXPECT_THROW(build_key_blob(0, kCipherKey, 0, Bytes{}), BuildError);
  EXPECT_THROW(write_key_blob(0, Bytes{}, 0, kMacKey, out), BuildError);
}

TEST(ContainerKeyBlobTest, TruncatedKeyBlobIsAParseErrorAtEveryOffset) {
  expect_parse_error_at_every_truncation(build_key_blob(0, kCipherKey, 0, kMacKey),
                                         [](ByteView d) { parse_key_blob(d); });
}

TEST(ContainerKeyBlobTest, HugeKeyLengthFieldsAreParseErrors) {
  expect_parse_error_for_huge_lengths(build_key_blob(0, kCipherKey, 0, kMacKey), {16, 64},
                                      [](ByteView d) { parse_key_blob(d); });
}

TEST(ContainerKeyBlobTest, TooSmallOutputIsAnInvalidArgument) {
  Bytes out(199, 0x01);
  EXPECT_THROW(write_key_blob(0, kCipherKey, 0, kMacKey, out), InvalidArgument);
  EXPECT_EQ(out, Bytes(199, 0x01));
}

}  // namespace
}  // namespace velna::container
