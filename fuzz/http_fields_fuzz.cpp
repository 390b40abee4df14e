// What the HTTP layer reads from text it does not control: addresses handed
// in by callers and servers, Range values, and the Content-Length and
// Content-Range fields of an answer (a ranged answer may hold the range up to
// its object's end). The input is split at NUL bytes into an
// address, a Range value and header lines ("Name: value").
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_util.h"
#include "velna/error.h"
#include "velna/http/client.h"
#include "velna/http/encoding.h"
#include "velna/http/headers.h"
#include "velna/http/limits.h"
#include "velna/http/storage.h"

namespace http = velna::http;
using velna::fuzz::expect;

namespace {

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t at; (at = s.find(sep)) != std::string_view::npos; s.remove_prefix(at + 1))
    parts.push_back(s.substr(0, at));
  parts.push_back(s);
  return parts;
}

void address(std::string_view url) {
  std::string requoted = http::requote(url);
  expect(http::requote(requoted) == requoted, "requoting is not idempotent");
  try {
    http::ParsedUrl parts = http::parse_url(url);
    expect(parts.scheme == "http" || parts.scheme == "https", "a scheme other than http(s)");
    expect(!parts.host.empty() && !parts.path.empty() && parts.path[0] == '/',
           "an address without host or path");
    (void)http::prepare_url(url, "a=1&b=%20");
  } catch (const http::InvalidUrl&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = split(velna::as_chars({data, size}), '\0');
  address(parts[0]);

  http::storage::ByteRange range{0, 9};
  if (parts.size() > 1) {
    if (auto r = http::storage::parse_range_header(parts[1])) {
      expect(r->start <= r->end, "a range that ends before it starts");
      auto again = http::storage::parse_range_header(http::storage::range_header(*r));
      expect(again && again->start == r->start && again->end == r->end,
             "a range does not read back from its own header");
      range = *r;
    }
  }

  std::vector<http::Field> fields;
  for (std::size_t i = 2; i < parts.size(); ++i) {
    std::string_view line = parts[i];
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    fields.push_back({std::string(line.substr(0, colon)), std::string(line.substr(colon + 1))});
  }
  for (const http::Field& f : fields) {
    if (auto length = http::parse_content_length(f.value))
      expect(http::parse_content_length(std::to_string(*length)) == length,
             "a Content-Length does not read back from its own text");
    if (auto r = http::storage::parse_content_range(f.value))
      expect(r->first <= r->last && (!r->complete || r->last < *r->complete),
             "a Content-Range that is no part of its object");
  }
  const http::Headers headers = http::Headers::received(std::move(fields));
  const auto content_range = headers.get("Content-Range");
  const auto part =
      content_range ? http::storage::parse_content_range(*content_range) : std::nullopt;
  for (std::uint64_t body : {std::uint64_t{0}, range.length(), std::uint64_t{10}}) {
    try {
      http::storage::check_length(headers, body);
    } catch (const velna::AssertionFailure&) {
    }
    try {
      http::storage::check_ranged_answer(range, 206, headers, body);
      // Taken: the whole range, or the part of it up to the object's end.
      const bool whole = body == range.length();
      const bool clipped =
          part && part->complete && body < range.length() && range.start + body == *part->complete;
      expect(whole || clipped, "a ranged answer of the wrong size was accepted");
    } catch (const velna::AssertionFailure&) {
    }
  }
  return 0;
}
