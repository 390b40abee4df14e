// Small helpers shared by the subsystems: zero fill, the credential rule,
// container portion names and identifier text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "velna/bytes.h"

namespace velna::utils {

inline constexpr std::string_view kLogger = "velna.utils";

// pad appends between 1 and |length| zero bytes to |s|, up to the smallest
// multiple of |length| greater than s.size(). InvalidArgument for length 0.
Bytes pad(ByteView s, std::size_t length);
// padded_size is the size pad gives |size| bytes (InvalidArgument for
// length 0, std::length_error when it would not fit std::size_t); pad_into
// writes that many bytes, |s| padded, to |out|.
std::size_t padded_size(std::size_t size, std::size_t length);
void pad_into(ByteView s, std::size_t length, std::uint8_t* out);

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

// Uuid is an identifier's 16 bytes, most significant first.
using Uuid = std::array<std::uint8_t, 16>;

// parse_uuid reads identifier text in the forms the identifiers of records
// are given in: every "urn:", then every "uuid:" taken out, braces stripped
// from both ends and every "-" dropped, what is left must be 32 characters
// that read as one hexadecimal integer: ASCII blanks around it, a "+" sign,
// a "0x" prefix (one "_" may follow it) and single "_" between digits are
// taken. So the canonical 8-4-4-4-12 form, its upper case, the 32 digits
// alone, "{...}" and "urn:uuid:..." all read. Empty for any other text, and
// for text that is not ASCII.
std::optional<Uuid> parse_uuid(std::string_view text);
// parse_canonical_uuid reads the 8-4-4-4-12 form alone (hexadecimal digits
// of either case), the first that parse_uuid tries.
std::optional<Uuid> parse_canonical_uuid(std::string_view text);

}  // namespace velna::utils
