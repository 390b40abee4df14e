#include "velna/store/paths.h"

#include "velna/crypto/digest.h"
#include "velna/error.h"

namespace velna::store {

std::vector<std::string> hash_components(ByteView seed, std::int64_t filename_length,
                                         std::int64_t depth) {
  if (filename_length < 1) throw InvalidArgument("filename_length must be at least 1");
  std::string hex = hex_digest(HashKind::Sha384, seed);
  std::vector<std::string> pieces;
  for (std::size_t at = 0; at < hex.size(); at += static_cast<std::size_t>(filename_length))
    pieces.push_back(hex.substr(at, static_cast<std::size_t>(filename_length)));
  auto n = static_cast<std::int64_t>(pieces.size());
  std::int64_t keep = depth >= 0 ? std::min(depth, n) : std::max<std::int64_t>(0, n + depth);
  pieces.resize(static_cast<std::size_t>(keep));
  return pieces;
}

}  // namespace velna::store
