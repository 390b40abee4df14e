// Helpers shared by the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "velna/bytes.h"

namespace velna::fuzz {

// expect aborts with |what| when |ok| is false: a broken property is a
// finding, reported with the input that libFuzzer saves.
inline void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz property violated: %s\n", what);
    std::abort();
  }
}

inline bool same(ByteView a, ByteView b) {
  return a.size() == b.size() && (a.empty() || std::equal(a.begin(), a.end(), b.begin()));
}

// inside tells whether |part| lies within |whole| (an empty part always does).
inline bool inside(ByteView part, ByteView whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace velna::fuzz
