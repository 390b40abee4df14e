// Object storage transfer: the Range header, what a ranged answer must be
// to stand for the range that was asked, and transfers against a scripted
// server on 127.0.0.1 that answers as a broken or hostile one would.
#include "velna/http/storage.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "velna/error.h"

namespace {

using velna::test::chunked_answer;
using velna::test::TestServer;
namespace storage = velna::http::storage;
namespace http = velna::http;
using velna::http::Headers;
using namespace std::chrono_literals;

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

TEST(StorageRange, ContentRangeValues) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> first, last, complete;
    bool parses;
  };
  const Case cases[] = {
      {"bytes 0-99/1024", 0, 99, 1024, true},
      {" bytes 1000-1023/1024 ", 1000, 1023, 1024, true},
      {"bytes 5-5/*", 5, 5, std::nullopt, true},
      {"bytes 0-18446744073709551614/18446744073709551615", 0, 18446744073709551614ull,
       18446744073709551615ull, true},
      {"bytes 0-1024/1024", {}, {}, {}, false},  // past the object's end
      {"bytes 9-5/100", {}, {}, {}, false},
      {"bytes */1024", {}, {}, {}, false},
      {"bytes 0-99", {}, {}, {}, false},
      {"items 0-99/100", {}, {}, {}, false},
      {"bytes 0-99/1e3", {}, {}, {}, false},
      {"bytes -1-99/100", {}, {}, {}, false},
      {"bytes 0-99/18446744073709551616", {}, {}, {}, false},
  };
  for (const Case& c : cases) {
    auto r = storage::parse_content_range(c.text);
    ASSERT_EQ(r.has_value(), c.parses) << c.text;
    if (!r) continue;
    EXPECT_EQ(r->first, *c.first) << c.text;
    EXPECT_EQ(r->last, *c.last) << c.text;
    EXPECT_EQ(r->complete, c.complete) << c.text;
  }
}

TEST(StorageRange, OnlyA206WithTheRangeOrItsPartUpToTheObjectsEndIsTaken) {
  const storage::ByteRange range{10, 19};
  EXPECT_NO_THROW(storage::check_ranged_answer(range, 206, answer_headers("10"), 10));
  EXPECT_NO_THROW(
      storage::check_ranged_answer(range, 206, answer_headers("10", "bytes 10-19/100"), 10));
  EXPECT_NO_THROW(
      storage::check_ranged_answer(range, 206, answer_headers("10", "bytes 10-19/*"), 10));
  // The object ends inside the range: the bytes up to its end.
  EXPECT_NO_THROW(storage::check_ranged_answer({1000, 1099}, 206,
                                               answer_headers("24", "bytes 1000-1023/1024"), 24));
  EXPECT_NO_THROW(
      storage::check_ranged_answer({0, 4095}, 206, answer_headers("1", "bytes 0-0/1"), 1));

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
      {"short without a Content-Range", 206, "5", std::nullopt, 5},
      {"clipped before the object's end", 206, "5", "bytes 10-14/100", 5},
      {"clipped, the object's size unknown", 206, "5", "bytes 10-14/*", 5},
      {"clipped, the body longer than the part", 206, "6", "bytes 10-14/15", 6},
      {"clipped, the length not the part's", 206, "10", "bytes 10-14/15", 5},
      {"past the range asked", 206, "11", "bytes 10-20/100", 11},
      {"starting elsewhere", 206, "9", "bytes 11-19/20", 9},
      {"a Content-Range that is none", 206, "10", "bytes 10-19", 10},
      {"the clipped part under 200", 200, "5", "bytes 10-14/15", 5},
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

// Buffer is the caller's memory for a body, with every call made to size
// it.
struct Buffer {
  velna::Bytes bytes;
  std::vector<std::pair<std::size_t, bool>> calls;
  storage::Resize resize() {
    return [this](std::size_t n, bool whole) {
      calls.emplace_back(n, whole);
      bytes.resize(n);
      return bytes.data();
    };
  }
};

// fetch GETs |raw|, the answer of a scripted server, into |buffer|; |url|
// is set to the address asked.
storage::Answer fetch(const std::string& raw, Buffer& buffer, std::string& url,
                      std::uint64_t max_body = http::memory_bound()) {
  TestServer server;
  server.script(raw);
  storage::Request request;
  request.url = url = server.url("/o");
  request.max_body = max_body;
  return storage::send(request, buffer.resize());
}

TEST(StorageTransfer, TheBufferEndsAsExactlyTheBytesReceived) {
  struct Case {
    const char* name;
    std::string raw;
    std::size_t body;
    std::vector<std::pair<std::size_t, bool>> calls;
  };
  const Case cases[] = {
      {"announced", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\naaaaa", 5, {{5, true}}},
      {"announced empty", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 0, {{0, true}}},
      {"chunked, small", chunked_answer("", 10), 10, {{256 * 1024, false}, {10, true}}},
      // Grown by half each time, whatever pieces the transfer delivers.
      {"chunked, growing", chunked_answer("", 1000000), 1000000, {}},
      {"chunked under its own length",
       chunked_answer("Content-Length: 300000\r\n", 300000),
       300000,
       {{300000, true}}},
  };
  for (const Case& c : cases) {
    Buffer buffer;
    std::string url;
    storage::Answer answer = fetch(c.raw, buffer, url);
    EXPECT_EQ(answer.status, 200) << c.name;
    EXPECT_EQ(answer.body_size, c.body) << c.name;
    EXPECT_EQ(velna::as_chars(buffer.bytes), velna::test::filler(c.body)) << c.name;
    if (!c.calls.empty()) {
      EXPECT_EQ(buffer.calls, c.calls) << c.name;
      continue;
    }
    ASSERT_GE(buffer.calls.size(), 2u) << c.name;
    EXPECT_LE(buffer.calls.size(), 8u) << c.name;
    EXPECT_EQ(buffer.calls.front().first, 256u * 1024) << c.name;
    EXPECT_EQ(buffer.calls.back(), std::make_pair(c.body, true)) << c.name;
    for (std::size_t i = 1; i + 1 < buffer.calls.size(); ++i) {
      EXPECT_FALSE(buffer.calls[i].second) << c.name;
      EXPECT_GE(buffer.calls[i].first, buffer.calls[i - 1].first * 3 / 2) << c.name;
    }
  }
}

TEST(StorageTransfer, AnswersThatBreakTheirLengthOrTheLimitAreRefused) {
  struct Case {
    const char* name;
    std::string raw;
    bool cut_short;  // ConnectionFailed, else RequestFailed
    bool sized;      // the buffer was sized before the refusal
  };
  const Case cases[] = {
      {"chunked under a larger length", chunked_answer("Content-Length: 1000\r\n", 100), true,
       true},
      {"chunked under a smaller length", chunked_answer("Content-Length: 10\r\n", 100), false,
       false},
      {"a larger length than max_body", chunked_answer("Content-Length: 100000\r\n", 100), false,
       false},
      {"a length of 10^14",
       "HTTP/1.1 200 OK\r\nContent-Length: 100000000000000\r\n\r\n" + std::string(100, 'x'), false,
       false},
      {"a length past 2^64",
       "HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551617\r\n\r\n" + std::string(100, 'x'),
       false, false},
      {"longer than max_body", chunked_answer("", 5000), false, false},
  };
  for (const Case& c : cases) {
    Buffer buffer;
    std::string url;
    try {
      fetch(c.raw, buffer, url, 4096);
      ADD_FAILURE() << c.name << ": taken";
    } catch (const http::ConnectionFailed& e) {
      EXPECT_TRUE(c.cut_short) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("(GET " + url + ")"), std::string::npos);
    } catch (const http::RequestFailed& e) {
      EXPECT_FALSE(c.cut_short) << c.name << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find("(GET " + url + ")"), std::string::npos);
    }
    EXPECT_EQ(!buffer.calls.empty(), c.sized) << c.name;
  }
}

TEST(StorageTransfer, AWholeTransferIsBoundedHoweverSlowlyItTrickles) {
  TestServer server;
  server.script("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x'), {},
                200ms);
  Buffer buffer;
  storage::Request request;
  request.url = server.url("/o");
  EXPECT_EQ(request.timeouts.total, storage::kTotalTimeout);
  request.timeouts.total = 800ms;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(storage::send(request, buffer.resize()), http::TimedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

}  // namespace
