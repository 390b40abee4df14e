// What a server can make the client hold: the length an answer announces is
// read strictly and checked against a limit before it sizes anything, the
// body must be exactly the bytes announced, and a loop over a server's pages
// ends at a total that its caller sets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velna::http {

// parse_decimal reads a non-negative integer written in decimal digits only,
// the whole text; nothing for anything else and for a value beyond
// 2^64 - 1.
std::optional<std::uint64_t> parse_decimal(std::string_view text);

// parse_content_length reads the value of a Content-Length field: a length
// in decimal digits between optional blanks, or a list of equal ones
// ("12, 12", as repeated fields are joined); nothing for anything else (a
// sign, an empty value, differing lengths, a length beyond 2^64 - 1).
std::optional<std::uint64_t> parse_content_length(std::string_view value);

// memory_bound is the largest body one answer may fill in this process: the
// machine's physical memory, and never more than half the address space
// (the most one Python bytes object may hold).
std::uint64_t memory_bound();

// BodyLength follows the body of one answer to a request as it arrives. An
// announced length must be a length and within the limit before any byte is
// kept, no more bytes may arrive than were announced, and without an
// announcement no more than the limit. Its checks throw RequestFailed (see
// client.h) with a message that says what the answer did.
class BodyLength {
 public:
  // |method| is the request's: the answer to a HEAD request has no body,
  // whatever length it announces.
  BodyLength(std::string_view method, std::uint64_t limit);

  // start begins a new answer with |status| (after an interim answer or a
  // redirect, the next one begins); what came before no longer counts.
  void start(long status);
  // field takes one header field of the answer; only Content-Length counts.
  void field(std::string_view name, std::string_view value);
  // receive counts |n| more bytes of body, before they are kept.
  void receive(std::uint64_t n);
  // finish checks the complete answer: a body shorter than it announced
  // throws ConnectionFailed, as an answer cut short does.
  void finish() const;

  // carries_body: the answer has a body whatever its length (not HEAD, and
  // not 1xx, 204 or 304, which carry none).
  bool carries_body() const;
  std::optional<std::uint64_t> announced() const { return announced_; }
  std::uint64_t received() const { return received_; }
  std::uint64_t limit() const { return limit_; }

 private:
  bool head_;
  std::uint64_t limit_;
  long status_ = 0;
  std::optional<std::uint64_t> announced_;
  std::uint64_t received_ = 0;
};

// Unless its caller says otherwise, a loop over a server's pages ends after
// kMaxPages pages or kMaxPagesBytes bytes of them. A page is one signed
// request, so ten thousand take a while against a server that never stops;
// 64 MiB of JSON take several times that as the caller's records.
inline constexpr std::uint64_t kMaxPages = 10000;
inline constexpr std::uint64_t kMaxPagesBytes = std::uint64_t{64} << 20;

// PageBudget bounds a loop that asks a server for page after page: at most
// |max_pages| pages and |max_bytes| bytes of answers in all.
class PageBudget {
 public:
  PageBudget(std::uint64_t max_pages, std::uint64_t max_bytes)
      : max_pages_(max_pages), max_bytes_(max_bytes) {}

  // take counts one page of |bytes| bytes, after which the server announces
  // |more| pages or none. Throws RequestFailed when the bytes pass the budget
  // or when a further page would be one too many.
  void take(std::uint64_t bytes, bool more);

  std::uint64_t pages() const { return pages_; }
  std::uint64_t bytes() const { return bytes_; }

 private:
  std::uint64_t max_pages_;
  std::uint64_t max_bytes_;
  std::uint64_t pages_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace velna::http
