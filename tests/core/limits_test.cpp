// What a server can make the client hold: Content-Length values, the body
// length of an answer as it arrives, and the budget of a loop over pages.
#include "velna/http/limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "velna/http/client.h"

namespace {

namespace http = velna::http;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(HttpLimits, ContentLengthIsALengthOrNothing) {
  const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> cases = {
      {"0", 0},
      {"100", 100},
      {" 100\t", 100},
      {"007", 7},
      {"18446744073709551615", kMax},
      {"100, 100", 100},
      {"5,5,5", 5},
      {"18446744073709551616", std::nullopt},  // 2^64
      {"18446744073709551617", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {" ", std::nullopt},
      {"-1", std::nullopt},
      {"+5", std::nullopt},
      {"12abc", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1 2", std::nullopt},
      {"5, 6", std::nullopt},
      {"5,", std::nullopt},
      {",5", std::nullopt},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(http::parse_content_length(text), expected) << "'" << text << "'";
  EXPECT_EQ(http::parse_decimal(" 5"), std::nullopt);
  EXPECT_EQ(http::parse_decimal("5"), 5u);
}

// One step of an answer: a status line, a field, a piece of body, or its end.
struct Step {
  enum Kind { kStatus, kField, kBody, kEnd } kind;
  std::string text;
  std::uint64_t n = 0;
};

Step status(long code) { return {Step::kStatus, "", static_cast<std::uint64_t>(code)}; }
Step length(std::string value) { return {Step::kField, std::move(value)}; }
Step body(std::uint64_t n) { return {Step::kBody, "", n}; }
Step end() { return {Step::kEnd, ""}; }

enum class Outcome { kTaken, kRefused, kCutShort };

Outcome run(const std::string& method, std::uint64_t limit, const std::vector<Step>& steps) {
  http::BodyLength l(method, limit);
  try {
    for (const Step& s : steps) {
      switch (s.kind) {
        case Step::kStatus:
          l.start(static_cast<long>(s.n));
          break;
        case Step::kField:
          l.field("content-LENGTH", s.text);
          break;
        case Step::kBody:
          l.receive(s.n);
          break;
        case Step::kEnd:
          l.finish();
          break;
      }
    }
  } catch (const http::ConnectionFailed&) {
    return Outcome::kCutShort;
  } catch (const http::RequestFailed&) {
    return Outcome::kRefused;
  }
  return Outcome::kTaken;
}

TEST(HttpLimits, AnAnswerKeepsTheLengthItAnnouncesAndTheLimit) {
  struct Case {
    const char* name;
    const char* method;
    std::vector<Step> steps;
    Outcome outcome;
  };
  const std::uint64_t limit = 1000;
  const Case cases[] = {
      {"announced and delivered",
       "GET",
       {status(200), length("10"), body(4), body(6), end()},
       Outcome::kTaken},
      {"no length, within the limit",
       "GET",
       {status(200), body(600), body(400), end()},
       Outcome::kTaken},
      {"announced at the limit",
       "GET",
       {status(200), length("1000"), body(1000), end()},
       Outcome::kTaken},
      {"announced, cut short (chunked under a larger length)",
       "GET",
       {status(200), length("500"), body(100), end()},
       Outcome::kCutShort},
      {"longer than announced",
       "GET",
       {status(200), length("10"), body(6), body(5)},
       Outcome::kRefused},
      {"announces more than the limit", "GET", {status(200), length("1001")}, Outcome::kRefused},
      {"announces 10^14", "GET", {status(200), length("100000000000000")}, Outcome::kRefused},
      {"longer than the limit without a length",
       "GET",
       {status(200), body(999), body(2)},
       Outcome::kRefused},
      {"no length at all", "GET", {status(200), length("abc")}, Outcome::kRefused},
      {"two lengths", "GET", {status(200), length("10"), length("11")}, Outcome::kRefused},
      {"the same length twice",
       "GET",
       {status(200), length("10"), length("10"), body(10), end()},
       Outcome::kTaken},
      {"a HEAD answer announces the object's length",
       "HEAD",
       {status(200), length("100000000000000"), end()},
       Outcome::kTaken},
      {"a 304 announces the object's length",
       "GET",
       {status(304), length("5000"), end()},
       Outcome::kTaken},
      {"a 204 announces a length", "GET", {status(204), length("5"), end()}, Outcome::kTaken},
      {"an interim answer, then the answer",
       "PUT",
       {status(100), length("5000"), status(201), length("2"), body(2), end()},
       Outcome::kTaken},
      {"a redirect's length does not count",
       "GET",
       {status(302), length("7"), status(200), body(3), end()},
       Outcome::kTaken},
  };
  for (const Case& c : cases) EXPECT_EQ(run(c.method, limit, c.steps), c.outcome) << c.name;
}

TEST(HttpLimits, RefusalsSayWhatTheAnswerDid) {
  http::BodyLength l("GET", 1000);
  l.start(200);
  try {
    l.field("Content-Length", "100000000000000");
    FAIL();
  } catch (const http::RequestFailed& e) {
    EXPECT_STREQ(e.what(),
                 "The answer announces 100000000000000 bytes, more than the limit of 1000 bytes");
  }
  try {
    l.field("Content-Length", std::string(100, '9') + "\x01");
    FAIL();
  } catch (const http::RequestFailed& e) {
    EXPECT_EQ(std::string(e.what()),
              "The answer's Content-Length is not a length: '" + std::string(40, '9') + "...'");
  }
  l.field("Content-Length", "10");
  l.receive(4);
  EXPECT_EQ(l.received(), 4u);
  try {
    l.finish();
    FAIL();
  } catch (const http::ConnectionFailed& e) {
    EXPECT_STREQ(e.what(), "The answer ended after 4 of the 10 bytes it announced");
  }
}

TEST(HttpLimits, MemoryBoundsEveryBody) {
  const std::uint64_t bound = http::memory_bound();
  EXPECT_GE(bound, std::uint64_t{64} << 20);
  EXPECT_LE(bound, std::numeric_limits<std::size_t>::max() / 2);
}

TEST(HttpLimits, PagesStopAtTheBudget) {
  http::PageBudget pages(3, 1000);
  pages.take(10, true);
  pages.take(10, true);
  EXPECT_THROW(pages.take(10, true), http::RequestFailed);  // a fourth page would follow

  http::PageBudget last(3, 1000);
  last.take(10, true);
  last.take(10, true);
  EXPECT_NO_THROW(last.take(10, false));  // the third page is the last

  http::PageBudget bytes(100, 1000);
  bytes.take(600, true);
  try {
    bytes.take(401, false);
    FAIL();
  } catch (const http::RequestFailed& e) {
    EXPECT_STREQ(e.what(),
                 "Stopped after 2 pages holding 1001 bytes, more than the limit of 1000 bytes");
  }

  http::PageBudget huge(kMax, kMax - 1);
  huge.take(kMax - 1, true);
  EXPECT_THROW(huge.take(kMax, true), http::RequestFailed);  // the total saturates
  EXPECT_EQ(huge.bytes(), kMax);
}

}  // namespace
