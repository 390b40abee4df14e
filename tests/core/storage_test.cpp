// The checks of object storage transfer: the Range header and what a ranged
// answer must be to stand for the range that was asked.
#include "velna/http/storage.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "velna/error.h"

namespace {

namespace storage = velna::http::storage;
using velna::http::Headers;

Headers answer_headers(std::optional<std::string> length,
                       std::optional<std::string> range = std::nullopt) {
  std::vector<velna::http::Field> fields;
  if (length) fields.push_back({"content-length", *length});
  if (range) fields.push_back({"Content-Range", *range});
  return Headers::received(std::move(fields));
}

TEST(StorageRange, HeaderTextAndParsing) {
  EXPECT_EQ(storage::range_header({0, 99}), "bytes=0-99");
  EXPECT_EQ(storage::range_header({5, 18446744073709551615ull}), "bytes=5-18446744073709551615");
  auto r = storage::parse_range_header("bytes=10-20");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->start, 10u);
  EXPECT_EQ(r->length(), 11u);
  for (const char* bad : {"bytes=5-", "bytes=-5", "bytes=5-4", "items=0-1", "bytes=0-1,3-4",
                          "bytes=a-b", "bytes=0-99999999999999999999"})
    EXPECT_FALSE(storage::parse_range_header(bad)) << bad;
}

TEST(StorageRange, OnlyA206WithExactlyTheRangeIsTaken) {
  const storage::ByteRange range{10, 19};
  EXPECT_NO_THROW(storage::check_ranged_answer(range, 206, answer_headers("10"), 10));
  EXPECT_NO_THROW(
      storage::check_ranged_answer(range, 206, answer_headers("10", "bytes 10-19/100"), 10));

  struct Case {
    const char* name;
    long status;
    std::optional<std::string> length;
    std::optional<std::string> content_range;
    std::uint64_t body;
  };
  const Case refused[] = {
      {"whole object under 200", 200, "100", std::nullopt, 100},
      {"200 with the right length", 200, "10", std::nullopt, 10},
      {"short body", 206, "10", std::nullopt, 9},
      {"short range", 206, "9", std::nullopt, 9},
      {"no Content-Length", 206, std::nullopt, std::nullopt, 10},
      {"Content-Length not a number", 206, "ten", std::nullopt, 10},
      {"another range", 206, "10", "bytes 20-29/100", 10},
  };
  for (const Case& c : refused)
    EXPECT_THROW(storage::check_ranged_answer(range, c.status,
                                              answer_headers(c.length, c.content_range), c.body),
                 velna::AssertionFailure)
        << c.name;
}

TEST(StorageRange, LengthCheckOfOtherAnswers) {
  EXPECT_NO_THROW(storage::check_length(answer_headers("3"), 3));
  EXPECT_THROW(storage::check_length(answer_headers("4"), 3), velna::AssertionFailure);
  EXPECT_THROW(storage::check_length(answer_headers(std::nullopt), 3), velna::AssertionFailure);
}

}  // namespace
