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

void check_field(std::string_view name, std::string_view value) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) {
        return token_char(static_cast<unsigned char>(c));
      }))
    throw InvalidArgument("Invalid header name: " + std::string(name));
  if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
    throw InvalidArgument("Invalid return character or NUL in header value: " + std::string(name));
}

void Headers::add(std::string name, std::string value) {
  check_field(name, value);
  fields_.push_back({std::move(name), std::move(value)});
}

void Headers::set(std::string_view name, std::string value) {
  auto first = std::find_if(fields_.begin(), fields_.end(),
                            [&](const Field& f) { return iequals(f.name, name); });
  if (first == fields_.end()) {
    add(std::string(name), std::move(value));
    return;
  }
  check_field(name, value);
  first->value = std::move(value);
  fields_.erase(std::remove_if(first + 1, fields_.end(),
                               [&](const Field& f) { return iequals(f.name, name); }),
                fields_.end());
}

std::optional<std::string_view> Headers::get(std::string_view name) const {
  for (const Field& f : fields_)
    if (iequals(f.name, name)) return std::string_view(f.value);
  return std::nullopt;
}

bool Headers::erase(std::string_view name) {
  auto end = std::remove_if(fields_.begin(), fields_.end(),
                            [&](const Field& f) { return iequals(f.name, name); });
  const bool found = end != fields_.end();
  fields_.erase(end, fields_.end());
  return found;
}

}  // namespace velna::http
