// Places of files in the hashed-path file store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velna::store {

// kMaxLevelsDeep: the lower-case hex SHA-384 digest (96 characters) cut into
// pieces of kMaxFileNameLength characters.
inline constexpr std::int64_t kMaxFileNameLength = 8;
inline constexpr std::int64_t kMaxLevelsDeep = 48 * 2 / kMaxFileNameLength;

// kMaxFileCreationAttempts: how many random places a new file is offered
// before the store gives up.
inline constexpr std::int64_t kMaxFileCreationAttempts = 10;

// cut_components cuts |hex|, the lower-case hex SHA-384 digest of a seed,
// into pieces of |filename_length| characters (the last one shorter when the
// length does not divide 96) and keeps the first |depth| of them; a negative
// |depth| leaves that many out at the end. Fails with InvalidArgument for a
// |filename_length| below 1.
std::vector<std::string> cut_components(std::string_view hex, std::int64_t filename_length,
                                        std::int64_t depth);

}  // namespace velna::store
