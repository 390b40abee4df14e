#include "velna/http/headers.h"

#include <algorithm>

#include "velna/error.h"

namespace velna::http {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool token_char(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lower(c);
  return out;
}

void check_field(std::string_view name, std::string_view value) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
        return token_char(static_cast<unsigned char>(c));
      }))
    throw InvalidArgument("Invalid header name: " + std::string(name));
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw InvalidArgument("Invalid return character or NUL in header value: " + std::string(name));
}

std::optional<std::string> content_type_charset(std::string_view content_type) {
  const std::string type = lower_ascii(content_type);
  const auto at = type.find("charset=");
  if (at == std::string::npos) return std::nullopt;
  std::string_view cs(type);
  cs = cs.substr(at + 8);
  cs = cs.substr(0, cs.find(';'));
  constexpr std::string_view kStrip = " \"'";
  const auto first = cs.find_first_not_of(kStrip);
  if (first == std::string_view::npos) return std::nullopt;
  cs = cs.substr(first, cs.find_last_not_of(kStrip) - first + 1);
  return std::string(cs);
}

void Headers::add(std::string name, std::string value) {
  check_field(name, value);
  append(std::move(name), std::move(value));
}

void Headers::set(std::string_view name, std::string value) {
  check_field(name, value);
  put(name, std::move(value));
}

}  // namespace velna::http
