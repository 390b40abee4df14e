#include "velna/utils.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "velna/error.h"
#include "velna/log.h"

namespace velna::utils {

std::size_t padded_size(std::size_t size, std::size_t length) {
  if (length == 0) throw InvalidArgument("pad length must be positive");
  const std::size_t fill = length - size % length;
  if (fill > std::numeric_limits<std::size_t>::max() - size)
    throw std::length_error("padded length does not fit");
  return size + fill;
}

void pad_into(ByteView s, std::size_t length, std::uint8_t* out) {
  const std::size_t n = padded_size(s.size(), length);
  std::copy(s.begin(), s.end(), out);
  std::fill(out + s.size(), out + n, std::uint8_t{0});
}

Bytes pad(ByteView s, std::size_t length) {
  Bytes out(padded_size(s.size(), length));
  pad_into(s, length, out.data());
  return out;
}

int credential_classes(std::string_view text) {
  bool upper = false, lower = false, digit = false, special = false;
  static constexpr std::string_view kSpecials = ".!@#$%^&*()_";
  for (char c : text) {
    if (c >= 'A' && c <= 'Z')
      upper = true;
    else if (c >= 'a' && c <= 'z')
      lower = true;
    else if (c >= '0' && c <= '9')
      digit = true;
    else if (kSpecials.find(c) != std::string_view::npos)
      special = true;
  }
  return upper + lower + digit + special;
}

bool meets_credential_rule(std::string_view text, std::size_t length) {
  return length >= kMinCredentialLength && credential_classes(text) >= kCredentialClassThreshold;
}

bool is_valid_portion(std::string_view portion) {
  return portion == "all" || portion == "header" || portion == "content" || portion == "metadata";
}

void reject_portion() {
  static const std::string message =
      "Invalid portion.  Must be one of {'all', 'header', 'content', 'metadata'}.";
  log::write(kLogger, log::Level::Error, message);
  throw InvalidArgument(message);
}

namespace {

// erase_all drops every occurrence of |what| from |s|, left to right.
void erase_all(std::string& s, std::string_view what) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = s.find(what, from)) != std::string::npos; from = at + what.size())
    out.append(s, from, at - from);
  out.append(s, from, std::string::npos);
  s = std::move(out);
}

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

// kHexDigit[c] is the value of the hexadecimal digit c, or 0x10 for a
// character that is none.
constexpr auto kHexDigit = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    t[c] = c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : 0x10;
  }
  return t;
}();

int hex_digit(char c) {
  const std::uint8_t d = kHexDigit[static_cast<unsigned char>(c)];
  return d < 0x10 ? d : -1;
}

// hex_integer reads |s| as a hexadecimal integer of at most 128 bits.
std::optional<Uuid> hex_integer(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    if (!s.empty() && s.front() == '_') s.remove_prefix(1);
  }
  Uuid out{};
  std::size_t digits = 0;
  bool after_digit = false;
  for (char c : s) {
    if (c == '_') {
      if (!after_digit) return std::nullopt;
      after_digit = false;
      continue;
    }
    const int d = hex_digit(c);
    if (d < 0) return std::nullopt;
    // 32 characters hold at most 32 digits: the value fits 128 bits.
    for (std::size_t k = 0; k < 16; ++k)
      out[k] = static_cast<std::uint8_t>(out[k] << 4 | (k + 1 < 16 ? out[k + 1] >> 4 : d));
    ++digits;
    after_digit = true;
  }
  if (digits == 0 || !after_digit) return std::nullopt;
  return out;
}

// hex8 reads the eight hexadecimal digits at |p| into the four bytes at
// |out|, eight at a time in a word; false when one of them is no digit.
bool hex8(const char* p, std::uint8_t* out) {
  if constexpr (std::endian::native != std::endian::little) {
    unsigned bad = 0;
    for (std::size_t n = 0; n < 4; ++n) {
      const unsigned hi = kHexDigit[static_cast<unsigned char>(p[2 * n])];
      const unsigned lo = kHexDigit[static_cast<unsigned char>(p[2 * n + 1])];
      bad |= hi | lo;
      out[n] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return !(bad & 0x10);
  }
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kTop = kOnes * 0x80;
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if (v & kTop) return false;
  // The top bit of each byte (all below 0x80) that is |c| or more.
  auto at_least = [](std::uint64_t x, unsigned c) { return ((x | kTop) - kOnes * c) & kTop; };
  const std::uint64_t digit = at_least(v, '0') & ~at_least(v, '9' + 1);
  const std::uint64_t lower = v | kOnes * 0x20;
  const std::uint64_t letter = at_least(lower, 'a') & ~at_least(lower, 'f' + 1);
  if ((digit | letter) != kTop) return false;
  // Each byte's value, then each pair of them in one byte, the first high.
  std::uint64_t n = (v & kOnes * 0x0f) + (letter >> 7) * 9;
  n = (n << 4 | n >> 8) & 0x00ff00ff00ff00ffu;
  n = (n | n >> 8) & 0x0000ffff0000ffffu;
  const auto bytes = static_cast<std::uint32_t>(n | n >> 16);  // the first in the low byte
  std::memcpy(out, &bytes, 4);
  return true;
}

// canonical reads the 8-4-4-4-12 form, the one nearly every text takes.
std::optional<Uuid> canonical(std::string_view t) {
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-')
    return std::nullopt;
  char digits[32];
  std::memcpy(digits, t.data(), 8);
  std::memcpy(digits + 8, t.data() + 9, 4);
  std::memcpy(digits + 12, t.data() + 14, 4);
  std::memcpy(digits + 16, t.data() + 19, 4);
  std::memcpy(digits + 20, t.data() + 24, 12);
  Uuid out;
  for (std::size_t k = 0; k < 4; ++k)
    if (!hex8(digits + 8 * k, out.data() + 4 * k)) return std::nullopt;
  return out;
}

// digits_only reads the 32 digits alone, the form the local store writes;
// any other text of 32 characters takes the general way.
std::optional<Uuid> digits_only(std::string_view t) {
  if (t.size() != 32) return std::nullopt;
  Uuid out;
  for (std::size_t k = 0; k < 4; ++k)
    if (!hex8(t.data() + 8 * k, out.data() + 4 * k)) return std::nullopt;
  return out;
}

}  // namespace

std::optional<Uuid> parse_canonical_uuid(std::string_view text) { return canonical(text); }

std::optional<Uuid> parse_uuid(std::string_view text) {
  if (auto id = canonical(text)) return id;
  if (auto id = digits_only(text)) return id;
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
  std::string s(text);
  erase_all(s, "urn:");
  erase_all(s, "uuid:");
  const std::size_t first = s.find_first_not_of("{}");
  if (first == std::string::npos) return std::nullopt;
  s = s.substr(first, s.find_last_not_of("{}") - first + 1);
  erase_all(s, "-");
  if (s.size() != 32) return std::nullopt;
  return hex_integer(s);
}

}  // namespace velna::utils
