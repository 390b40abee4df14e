// Object storage transfer: one plain HTTP GET (whole or one byte range) or PUT
// to a full address that the caller supplies. A transfer carries no
// credentials of the key server and keeps no connection for the next one; it
// follows redirects (nothing secret can leave with them) and is bounded by
// a connect time-out, a stall time-out and a time-out on its whole duration.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "velna/bytes.h"
#include "velna/http/client.h"
#include "velna/http/headers.h"
#include "velna/http/limits.h"

namespace velna::http::storage {

// ByteRange: both ends included, so it asks for end - start + 1 bytes.
struct ByteRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t length() const { return end - start + 1; }
};

// range_header is the value of the Range header for |range|:
// "bytes=<start>-<end>".
std::string range_header(const ByteRange& range);

// parse_range_header reads a Range value of one closed range
// ("bytes=<start>-<end>", start <= end); nothing for any other form.
std::optional<ByteRange> parse_range_header(std::string_view value);

// ContentRange is the value of a Content-Range field: the bytes first to
// last (both included) of an object of |complete| bytes, when the server
// knows that size.
struct ContentRange {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  std::optional<std::uint64_t> complete;
};

// parse_content_range reads "bytes <first>-<last>/<complete>" (or "/*" for
// a size not known), first <= last < complete; nothing for any other form.
std::optional<ContentRange> parse_content_range(std::string_view value);

// check_ranged_answer accepts the answer to a request for |range| only when
// it is a 206 whose Content-Length, body and Content-Range (when sent) all
// stand for that range: exactly, or clipped to the end of an object that
// ends inside it, as the Content-Range's object size shows. Throws
// AssertionFailure with a message that says what came instead.
void check_ranged_answer(const ByteRange& range, long status, const Headers& headers,
                         std::uint64_t body_size);

// check_length accepts an answer whose Content-Length equals the length of
// its body. Throws AssertionFailure otherwise (also without the header).
void check_length(const Headers& headers, std::uint64_t body_size);

// A transfer of an object may take much longer than a request to the key
// server: kTotalTimeout bounds it all the same, generously (an hour moves
// 2 GiB at 600 kB/s).
inline constexpr std::chrono::milliseconds kTotalTimeout{3600000};

struct Timeouts {
  std::chrono::milliseconds connect = kConnectTimeout;
  std::chrono::milliseconds stall =
      std::chrono::duration_cast<std::chrono::milliseconds>(kStallTimeout);
  std::chrono::milliseconds total = kTotalTimeout;
};

struct Request {
  std::string method = "GET";  // sent in upper case
  std::string url;             // absolute http or https address
  Headers headers;             // besides the transfer's own
  // The body, sent whole with its Content-Length (never chunked, never after
  // a 100 Continue); a PUT always has one, empty unless given. Must stay
  // valid until send returns.
  ByteView body;
  bool has_body = false;
  Timeouts timeouts;
  // The longest body taken; a longer one, announced or not, is refused.
  std::uint64_t max_body = memory_bound();
};

// The body goes where the caller's Resize (client.h) says.
using http::Resize;

// Answer: the final answer after redirects. Its body went to the memory that
// the caller's Resize gave.
struct Answer {
  long status = 0;
  std::string reason;
  std::string url;  // the address that answered
  Headers headers;  // repeated fields joined with ", "
  std::uint64_t body_size = 0;
};

// send makes one transfer on a connection of its own. Throws InvalidUrl for
// an address that is not http or https, ConnectionFailed when no connection
// could be made or it broke before the answer was whole (also for a body
// shorter than it announced), TimedOut when a time-out ran out (connecting()
// tells which), InvalidArgument for a header that check_field refuses,
// RequestFailed for anything else (also for a length that is no length, or
// a body longer than announced or than max_body; see limits.h).
Answer send(const Request& request, const Resize& resize);

}  // namespace velna::http::storage
