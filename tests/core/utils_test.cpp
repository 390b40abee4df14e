// Zero fill, the credential rule and container portion names.
#include "velna/utils.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
}  // namespace velna::utils
