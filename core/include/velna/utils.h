// Small helpers shared by the subsystems: zero fill, the credential rule and
// container portion names.
#pragma once

#include <cstddef>
#include <string_view>

#include "velna/bytes.h"

namespace velna::utils {

inline constexpr std::string_view kLogger = "velna.utils";

// pad appends between 1 and |length| zero bytes to |s|, up to the smallest
// multiple of |length| greater than s.size(). InvalidArgument for length 0.
Bytes pad(ByteView s, std::size_t length);

// Credential rule: longer than 7 characters and at least 3 of the 4 ASCII
// classes upper case, lower case, digit and the specials ".!@#$%^&*()_".
inline constexpr std::size_t kMinCredentialLength = 8;
inline constexpr int kCredentialClassThreshold = 3;

// credential_classes counts the classes present in |text| (UTF-8 or any
// ASCII-compatible bytes; bytes above 0x7f belong to no class).
int credential_classes(std::string_view text);

// meets_credential_rule judges |text| whose length, in the caller's units
// (characters of a text, bytes of a byte string), is |length|.
bool meets_credential_rule(std::string_view text, std::size_t length);

// is_valid_portion accepts exactly "all", "header", "content", "metadata".
bool is_valid_portion(std::string_view portion);

// reject_portion writes the portion error on "velna.utils" and throws it.
[[noreturn]] void reject_portion();

}  // namespace velna::utils
