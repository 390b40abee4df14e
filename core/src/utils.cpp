#include "velna/utils.h"

#include <string>

#include "velna/error.h"
#include "velna/log.h"

namespace velna::utils {

Bytes pad(ByteView s, std::size_t length) {
  if (length == 0) throw InvalidArgument("pad length must be positive");
  Bytes out(s.begin(), s.end());
  out.resize(s.size() + (length - s.size() % length), 0);
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

}  // namespace velna::utils
