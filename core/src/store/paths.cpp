#include "velna/store/paths.h"

#include <algorithm>

#include "velna/error.h"

namespace velna::store {

std::vector<std::string> cut_components(std::string_view hex, std::int64_t filename_length,
                                        std::int64_t depth) {
  if (filename_length < 1) throw InvalidArgument("filename_length must be at least 1");
  // A length beyond the text gives one piece (and never wraps a 32-bit size_t).
  const std::size_t step = static_cast<std::uint64_t>(filename_length) >= hex.size()
                               ? std::max<std::size_t>(hex.size(), 1)
                               : static_cast<std::size_t>(filename_length);
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < hex.size(); at += step) pieces.emplace_back(hex.substr(at, step));
  auto n = static_cast<std::int64_t>(pieces.size());
  std::int64_t keep = depth >= 0 ? std::min(depth, n) : std::max<std::int64_t>(0, n + depth);
  pieces.resize(static_cast<std::size_t>(keep));
  return pieces;
}

}  // namespace velna::store
