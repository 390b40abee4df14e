// Places of files in the hashed-path file store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "velna/bytes.h"

namespace velna::store {

// kMaxLevelsDeep: the lower-case hex SHA-384 digest (96 characters) cut into
// pieces of kMaxFileNameLength characters.
inline constexpr std::int64_t kMaxFileNameLength = 8;
inline constexpr std::int64_t kMaxLevelsDeep = 48 * 2 / kMaxFileNameLength;

// hash_components cuts the hex SHA-384 digest of |seed| into pieces of
// |filename_length| characters (the last one shorter when the length does
// not divide 96) and keeps the first |depth| of them; a negative |depth|
// leaves that many out at the end. Fails with InvalidArgument for a
// |filename_length| below 1.
std::vector<std::string> hash_components(ByteView seed, std::int64_t filename_length,
                                         std::int64_t depth);

// cut_components is the same cut of a digest text already made.
std::vector<std::string> cut_components(std::string_view hex, std::int64_t filename_length,
                                        std::int64_t depth);

}  // namespace velna::store
