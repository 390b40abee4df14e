// Zero fill, the credential rule and container portion names.
#include "velna/utils.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>

#include "test_support.h"
#include "velna/error.h"

namespace velna::utils {
namespace {

using namespace velna::test;

TEST(Utils, PadAddsOneToLengthZeroBytes) {
  EXPECT_EQ(pad(as_bytes("abc"), 4), (Bytes{'a', 'b', 'c', 0}));
  EXPECT_EQ(pad(as_bytes("abcd"), 4), (Bytes{'a', 'b', 'c', 'd', 0, 0, 0, 0}));
  EXPECT_EQ(pad({}, 3), Bytes(3, 0));
  EXPECT_THROW(pad(as_bytes("abc"), 0), InvalidArgument);
}

// The padded size is the next multiple strictly above the size, computed
// without wrapping; pad_into writes exactly that many bytes.
TEST(Utils, PaddedSizes) {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  const std::tuple<std::size_t, std::size_t, std::size_t> cases[] = {
      {0, 1, 1},    {0, 16, 16}, {15, 16, 16},        {16, 16, 32},
      {17, 16, 32}, {5, 1, 6},   {kMax - 1, 1, kMax}, {1, kMax, kMax},
  };
  for (const auto& [size, length, padded] : cases)
    EXPECT_EQ(padded_size(size, length), padded) << size << " " << length;
  EXPECT_THROW(padded_size(kMax, 1), std::length_error);
  EXPECT_THROW(padded_size(kMax - 3, 8), std::length_error);
  EXPECT_THROW(padded_size(3, 0), InvalidArgument);
  Bytes out(9, 0xee);
  pad_into(as_bytes("abcde"), 4, out.data());
  EXPECT_EQ(out, (Bytes{'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0xee}));
}

TEST(Utils, CredentialRuleCountsFourClassesAndTheLength) {
  const std::pair<const char*, bool> cases[] = {
      {"Abcdefg1", true},
      {"abcdefg1", false},
      {"Abcdef1", false},
      {"abcdef1!", true},
      {"ABCDEFG.", false},
      {"A1_xxxxx", true},
      {"A1-xxxxx", true},
      {"A-------", false},
      {"\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4"
       "A1",
       false},  // bytes above 0x7f belong to no class
  };
  for (const auto& [text, valid] : cases)
    EXPECT_EQ(meets_credential_rule(text, std::string(text).size()), valid) << text;
  // The length is the caller's: four characters of UTF-8 text count four.
  EXPECT_FALSE(meets_credential_rule("\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4", 4));
}

TEST(Utils, PortionsAreTheFourNamesAndOthersAreLoggedAndRefused) {
  for (const char* p : {"all", "header", "content", "metadata"}) EXPECT_TRUE(is_valid_portion(p));
  for (const char* p : {"", "Header", "headers", " all"}) EXPECT_FALSE(is_valid_portion(p));
  auto sink = std::make_shared<RecordingSink>();
  log::set_sink(sink);
  EXPECT_THROW(reject_portion(), InvalidArgument);
  log::set_sink(nullptr);
  ASSERT_EQ(sink->lines.size(), 1u);
  EXPECT_EQ(sink->lines[0].logger, "velna.utils");
  EXPECT_EQ(sink->lines[0].level, log::Level::Error);
  EXPECT_EQ(sink->lines[0].text,
            "Invalid portion.  Must be one of {'all', 'header', 'content', 'metadata'}.");
}

// Identifier text: the forms taken all give the same 16 bytes; the forms
// refused are near misses of them.
TEST(Utils, UuidTextFormsTakenAndRefused) {
  const Uuid id = {0x6f, 0x1e, 0x0b, 0x62, 0x3b, 0x0a, 0x4c, 0x55,
                   0x9a, 0x57, 0x0f, 0x1d, 0x8c, 0xf1, 0xf3, 0xaa};
  for (const char* text :
       {"6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa", "6F1E0B62-3B0A-4C55-9A57-0F1D8CF1F3AA",
        "6f1e0b623b0a4c559a570f1d8cf1f3aa", "{6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa}",
        "{{6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa}", "urn:uuid:6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa",
        "6f1e0b62-3b0a-4c55-9a57-0f1d-8cf1f3aa", "uurn:uid:6f1e0b623b0a4c559a570f1d8cf1f3aa",
        "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aa-", "---6f1e0b623b0a4c559a570f1d8cf1f3aa"}) {
    const auto got = parse_uuid(text);
    ASSERT_TRUE(got) << text;
    EXPECT_EQ(*got, id) << text;
  }
  // 32 characters that read as one hexadecimal integer of a smaller value
  const std::pair<const char*, std::uint8_t> smaller[] = {
      {" 000000000000000000000000000000f", 0x0f}, {"+000000000000000000000000000000f", 0x0f},
      {"0x00000000000000000000000000000f", 0x0f}, {"0X_0000000000000000000000000000f", 0x0f},
      {"0_0000000000000000000000000000ff", 0xff}, {"\t00000000000000000000000000000f\x1f", 0x0f},
      {"0000000000000000000000000000000f", 0x0f}, {"{0000000000000000000000000000000f}", 0x0f}};
  for (auto [text, last] : smaller) {
    const auto got = parse_uuid(text);
    ASSERT_TRUE(got) << text;
    EXPECT_EQ((*got)[15], last) << text;
    EXPECT_EQ((*got)[0], 0) << text;
  }
  for (const char* text :
       {"", "not-a-uuid", "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3a",
        "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3aaa", "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3ag",
        "6f1e0b62 3b0a-4c55-9a57-0f1d8cf1f3aa", "_000000000000000000000000000000f",
        "0000000000000000000000000000000_", "00__0000000000000000000000000000", "0x",
        "0x______________________________", "                                ",
        "+-00000000000000000000000000000f", "00000000000000000000000000000\0ff",
        "6f1e0b62-3b0a-4c55-9a57-0f1d8cf1f3\xc3\xa9", "{}{}", "urn:"})
    EXPECT_FALSE(parse_uuid(text)) << text;
}

// Each digit of the 8-4-4-4-12 form counts in its place: any one of them
// changed changes that nibble alone, and any one that is no digit refuses
// the text.
TEST(Utils, UuidEveryDigitOfTheCanonicalFormIsRead) {
  const std::string text = "00000000-0000-0000-0000-000000000000";
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '-') continue;
    for (const char c : {'1', '9', 'a', 'F'}) {
      std::string t = text;
      t[i] = c;
      const auto got = parse_uuid(t);
      ASSERT_TRUE(got) << t;
      const int value = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
      Uuid want{};
      want[nibble / 2] = static_cast<std::uint8_t>(nibble % 2 ? value : value << 4);
      EXPECT_EQ(*got, want) << t;
    }
    for (const char c : {'g', 'G', '/', ':', '@', '`', '.', '\xff'}) {
      std::string t = text;
      t[i] = c;
      EXPECT_FALSE(parse_uuid(t)) << t;
    }
    ++nibble;
  }
  EXPECT_EQ(nibble, 32u);
}

}  // namespace
}  // namespace velna::utils
