#include "velna/http/limits.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>

#include "velna/http/client.h"
#include "velna/http/headers.h"

namespace velna::http {
namespace {

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// quoted is a server's text for a message: printable ASCII only, and short.
std::string quoted(std::string_view text) {
  constexpr std::size_t kShown = 40;
  std::string out = "'";
  for (char c : text.substr(0, kShown)) out += c >= ' ' && c <= '~' ? c : '?';
  if (text.size() > kShown) out += "...";
  return out + "'";
}

std::string bytes_text(std::uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
  std::uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<std::uint64_t> parse_content_length(std::string_view value) {
  std::optional<std::uint64_t> length;
  for (;;) {
    const std::size_t comma = value.find(',');
    auto one = parse_decimal(trim_blanks(value.substr(0, comma)));
    if (!one || (length && *one != *length)) return std::nullopt;
    length = one;
    if (comma == std::string_view::npos) return length;
    value.remove_prefix(comma + 1);
  }
}

std::uint64_t memory_bound() {
  // The machine's memory is read once: every request asks, and it does not
  // change under a running process.
  static const std::uint64_t bound = [] {
    const std::uint64_t half_address_space = std::numeric_limits<std::size_t>::max() / 2;
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return half_address_space;
    const std::uint64_t physical =
        static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    return std::min(physical, half_address_space);
  }();
  return bound;
}

BodyLength::BodyLength(std::string_view method, std::uint64_t limit)
    : head_(iequals(method, "HEAD")), limit_(limit) {}

void BodyLength::start(long status) {
  status_ = status;
  announced_.reset();
  received_ = 0;
}

bool BodyLength::carries_body() const {
  return !head_ && !(status_ >= 100 && status_ < 200) && status_ != 204 && status_ != 304;
}

void BodyLength::field(std::string_view name, std::string_view value) {
  if (!iequals(name, "Content-Length")) return;
  const auto length = parse_content_length(value);
  if (!length) throw RequestFailed("The answer's Content-Length is not a length: " + quoted(value));
  if (announced_ && *announced_ != *length)
    throw RequestFailed("The answer announces two lengths, " + std::to_string(*announced_) +
                        " and " + std::to_string(*length));
  if (carries_body() && *length > limit_)
    throw RequestFailed("The answer announces " + bytes_text(*length) +
                        ", more than the limit of " + bytes_text(limit_));
  announced_ = length;
}

void BodyLength::receive(std::uint64_t n) {
  if (announced_ && n > *announced_ - received_)
    throw RequestFailed("The answer is longer than the " + bytes_text(*announced_) +
                        " it announced");
  if (n > limit_ - received_)
    throw RequestFailed("The answer is longer than the limit of " + bytes_text(limit_));
  received_ += n;
}

void BodyLength::finish() const {
  if (carries_body() && announced_ && received_ != *announced_)
    throw ConnectionFailed("The answer ended after " + std::to_string(received_) + " of the " +
                           bytes_text(*announced_) + " it announced");
}

void PageBudget::take(std::uint64_t bytes, bool more) {
  ++pages_;
  bytes_ = bytes > std::numeric_limits<std::uint64_t>::max() - bytes_
               ? std::numeric_limits<std::uint64_t>::max()
               : bytes_ + bytes;
  const std::string read = std::to_string(pages_) + (pages_ == 1 ? " page" : " pages");
  if (bytes_ > max_bytes_)
    throw RequestFailed("Stopped after " + read + " holding " + bytes_text(bytes_) +
                        ", more than the limit of " + bytes_text(max_bytes_));
  if (more && pages_ >= max_pages_)
    throw RequestFailed("Stopped after " + read + ", the limit, while the server announces more");
}

}  // namespace velna::http
