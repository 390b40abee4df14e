// curl takes its time-outs as C long, 32 bits wide on armhf: a longer
// time-out than a long holds is as good as none, not a wrapped (negative)
// one that curl refuses.
#pragma once

#include <climits>
#include <cstdint>

namespace velna::internal {

// curl_long is |v| as a long for curl: clamped to [0, LONG_MAX].
inline long curl_long(std::int64_t v) {
  if (v < 0) return 0;
  if (static_cast<std::uint64_t>(v) > static_cast<std::uint64_t>(LONG_MAX)) return LONG_MAX;
  return static_cast<long>(v);
}

}  // namespace velna::internal
