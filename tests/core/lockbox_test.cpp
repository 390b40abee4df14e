#include "velna/crypto/lockbox.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "velna/bytes.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/ec.h"
#include "velna/error.h"

namespace velna::lockbox {
namespace {

constexpr std::string_view kJson =
    R"({"userId": "0b5c7a0e-8a51-4d0c-9f43-7d2b7e1c6a11", "derivationKeys": {}, "signingKeys": {}})";

std::uint64_t get_u64(const Bytes& b, std::size_t offset) {
  std::uint64_t v = 0;
  for (std::size_t i = 8; i-- > 0;) v = (v << 8) | b.at(offset + i);
  return v;
}

void put_u64(Bytes& b, std::size_t offset, std::uint64_t v) {
  for (std::size_t i = 0; i < 8; ++i) b.at(offset + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// One written file for the tests that only read it.
const Bytes& sample_file() {
  static const Bytes file = write_file(kJson, "correct horse", "battery staple");
  return file;
}

TEST(LockboxTest, WrittenFileHasTheDocumentedLayout) {
  const Bytes& f = sample_file();
  const std::size_t k = kSectionOverhead + kJson.size();
  ASSERT_EQ(f.size(), kHeaderSize + k + kSectionOverhead + 112);
  EXPECT_EQ(get_u64(f, 0), 1u);
  EXPECT_EQ(get_u64(f, 8), k);
  EXPECT_EQ(get_u64(f, 16), 160u);
  for (std::size_t section : {kHeaderSize, kHeaderSize + k}) {
    EXPECT_EQ(get_u64(f, section), 8u);
    EXPECT_EQ(get_u64(f, section + 16), 16u);
    EXPECT_EQ(get_u64(f, section + 32), 0u) << "last 8 bytes of the IV";
  }
  EXPECT_EQ(get_u64(f, kHeaderSize + 40), kJson.size());
  EXPECT_EQ(get_u64(f, kHeaderSize + k + 40), 112u);
}

TEST(LockboxTest, OpensWithThePasswordAndWithTheRecoveredHashText) {
  const Bytes& f = sample_file();
  EXPECT_EQ(open_key_ring(f, "correct horse"), kJson);
  std::string hash = recover_password(f, "battery staple");
  EXPECT_EQ(hash, hex_digest(HashKind::Sha384, as_bytes("correct horse")));
  EXPECT_EQ(open_key_ring(f, hash), kJson);
}

TEST(LockboxTest, WrongSecretsAreDecryptionErrorsWithTheirMessages) {
  const Bytes& f = sample_file();
  try {
    open_key_ring(f, "wrong horse");
    FAIL() << "opened with a wrong password";
  } catch (const DecryptionError& e) {
    EXPECT_EQ(std::string(e.what()), kKeyRingFailure);
  }
  try {
    recover_password(f, "wrong staple");
    FAIL() << "opened with a wrong passphrase";
  } catch (const DecryptionError& e) {
    EXPECT_EQ(std::string(e.what()), kRescueFailure);
  }
}

TEST(LockboxTest, TruncationAtEveryOffsetIsAParseError) {
  const Bytes& f = sample_file();
  for (std::size_t n = 0; n < f.size(); ++n) {
    // A copy of exactly n bytes, so that AddressSanitizer sees any read past it.
    std::vector<std::uint8_t> cut(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(parse_file(cut), ParseError) << "at " << n;
    EXPECT_THROW(open_key_ring(cut, "correct horse"), ParseError) << "at " << n;
  }
  EXPECT_NO_THROW(parse_file(f));
}

TEST(LockboxTest, HostileLengthsAreParseErrors) {
  const Bytes& f = sample_file();
  const std::size_t k = get_u64(f, 8);
  // Length fields of both sections: salt, iv and encrypted.
  std::vector<std::size_t> fields;
  for (std::size_t section : {kHeaderSize, kHeaderSize + k}) {
    fields.push_back(section);
    fields.push_back(section + 8 + 8);
    fields.push_back(section + 8 + 8 + 8 + 16);
  }
  for (std::size_t at : fields)
    for (std::uint64_t v :
         {~std::uint64_t{0}, (std::uint64_t{1} << 32) + 16, std::uint64_t{f.size()}}) {
      Bytes bad = f;
      put_u64(bad, at, v);
      EXPECT_THROW(parse_file(bad), ParseError) << at << " " << v;
    }
}

TEST(LockboxTest, HeaderLengthsAndTrailingBytesAreIgnored) {
  Bytes f = sample_file();
  put_u64(f, 8, ~std::uint64_t{0});
  put_u64(f, 16, 3);
  f.insert(f.end(), {1, 2, 3, 4, 5});
  FileView v = parse_file(f);
  EXPECT_EQ(v.bytes.size(), sample_file().size());
  EXPECT_EQ(v.key_ring_length, ~std::uint64_t{0});
  EXPECT_EQ(recover_password(f, "battery staple"),
            hex_digest(HashKind::Sha384, as_bytes("correct horse")));
}

TEST(LockboxTest, UnknownVersionFailsBeforeAnyDerivation) {
  Bytes f = sample_file();
  put_u64(f, 0, 2);
  EXPECT_THROW(open_key_ring(f, "correct horse"), InvalidArgument);
  EXPECT_THROW(recover_password(f, "battery staple"), InvalidArgument);
  EXPECT_THROW(seal_section(2, as_bytes("x"), as_bytes("{}")), InvalidArgument);
  EXPECT_FALSE(has_engine(0));
  EXPECT_TRUE(has_engine(1));
}

TEST(LockboxTest, SectionsWithOtherSaltLengthsOpen) {
  for (std::size_t salt_size : {0u, 32u}) {
    Bytes salt(salt_size, 0x5a);
    aes::Iv iv = aes::make_iv();
    SecretBytes key = derive_key(1, as_bytes("secret"), salt);
    Bytes ct = aes::ctr_transform(key, iv, as_bytes("{\"a\": 1}"));
    Bytes section = build_section({salt, iv, ct, {}});
    SectionView s = parse_section(section);
    EXPECT_EQ(s.salt.size(), salt_size);
    SecretBytes plain = open_section(1, as_bytes("secret"), s);
    EXPECT_EQ(std::string(as_chars(plain)), "{\"a\": 1}");
  }
}

TEST(LockboxTest, SealingTwiceDrawsNewSaltAndIv) {
  Bytes a = seal_section(1, as_bytes("s"), as_bytes("{}"));
  Bytes b = seal_section(1, as_bytes("s"), as_bytes("{}"));
  ASSERT_EQ(a.size(), kSectionOverhead + 2);
  ASSERT_EQ(a.size(), b.size());
  SectionView sa = parse_section(a), sb = parse_section(b);
  EXPECT_NE(Bytes(sa.salt.begin(), sa.salt.end()), Bytes(sb.salt.begin(), sb.salt.end()));
  EXPECT_NE(Bytes(sa.iv.begin(), sa.iv.end()), Bytes(sb.iv.begin(), sb.iv.end()));
  EXPECT_EQ(build_section(sa), a);
}

TEST(LockboxTest, IvOfAnotherLengthIsRefused) {
  Bytes section = build_section({Bytes(8, 1), Bytes(12, 2), Bytes(4, 3), {}});
  EXPECT_THROW(open_section(1, as_bytes("s"), parse_section(section)), InvalidArgument);
}

TEST(LockboxTest, PasswordSecretAndRescueText) {
  std::string hex(96, 'a');
  EXPECT_EQ(password_secret(hex), hex);
  std::string upper(96, 'F');
  EXPECT_EQ(password_secret(upper), upper);
  EXPECT_EQ(password_secret(std::string(95, 'a')),
            hex_digest(HashKind::Sha384, as_bytes(std::string(95, 'a'))));
  EXPECT_EQ(rescue_plaintext(hex).size(), 112u);

  // 96 characters pass unchanged exactly when Python's int(text, 16) reads
  // them; these cases were checked against it.
  const std::string a94(94, 'a'), a93(93, 'a'), a95(95, 'a');
  struct Case {
    std::string password;
    bool unchanged;
  } cases[] = {{" " + a95, true},
               {a95 + "\n", true},
               {"\t" + a94 + "\r", true},
               {"\v" + a95, true},
               {"+" + a95, true},
               {"-" + a95, true},
               {"0x" + a94, true},
               {"0X" + a94, true},
               {"0x_" + a93, true},
               {"+0x" + a93, true},
               {"-0x_" + std::string(92, 'a'), true},
               {"a_" + a94, true},
               {"a__" + a93, false},
               {"_" + a95, false},
               {a95 + "_", false},
               {"+ " + a94, false},
               {"0x " + a93, false},
               {"0_x" + a93, false},
               {"00x" + a93, false},
               {"0x0x" + std::string(92, 'a'), false},
               {std::string(47, 'a') + " " + std::string(48, 'a'), false},
               {"\x1c" + a95, false},
               {std::string(96, ' '), false},
               {std::string(96, 'g'), false},
               {std::string(48, 'a') + std::string(1, '\0') + std::string(47, 'a'), false},
               {"\xc2\xa0" + a94, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(c.password.size(), 96u);
    const std::string hashed = hex_digest(HashKind::Sha384, as_bytes(c.password));
    EXPECT_EQ(password_secret(c.password), c.unchanged ? c.password : hashed) << c.password;
  }
  EXPECT_EQ(rescue_plaintext("\xc3\xa9\""), "{\"password\": \"\\u00e9\\\"\"}");
}

TEST(LockboxTest, Utf8Check) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {{"", true},
               {"plain", true},
               {"\xc3\xa9", true},
               {"\xf0\x9f\x98\x80", true},
               {"\xc0\xaf", false},
               {"\xed\xa0\x80", false},
               {"\xf4\x90\x80\x80", false},
               {"\xe2\x82", false},
               {"\x80", false},
               {"\xff", false}};
  for (const Case& c : cases) EXPECT_EQ(is_utf8(as_bytes(c.text)), c.valid) << c.text;
}

TEST(LockboxTest, KeyFilePrivateKeysLoadBackByteForByte) {
  // A key file's PKCS #8 keys carry their public point and load the quick
  // way: the same key, written back byte for byte.
  ec::PrivateKey key = ec::PrivateKey::generate(ec::Curve::P384);
  SecretBytes pem = key.to_pem();
  ec::PrivateKey quick = ec::PrivateKey::from_pem(pem);
  EXPECT_EQ(quick.private_value_hex(), key.private_value_hex());
  EXPECT_TRUE(quick.public_key().same_key(key.public_key()));
  SecretBytes again = quick.to_pem();
  EXPECT_EQ(std::string(as_chars(again)), std::string(as_chars(pem)));
  // Truncated or altered key material is refused, never half-loaded.
  std::string text(as_chars(pem));
  EXPECT_THROW(ec::PrivateKey::from_pem(as_bytes(text.substr(0, text.size() / 2))),
               InvalidArgument);
}

}  // namespace
}  // namespace velna::lockbox
