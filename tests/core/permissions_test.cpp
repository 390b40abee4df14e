// The permission byte: each flag at a bit of its own.
#include "velna/permissions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace velna {
namespace {

// The eight flags cover the byte, one bit each, under eight distinct names,
// and each name finds its own bit.
TEST(Permissions, FlagsCoverTheByteOnce) {
  unsigned seen = 0;
  std::set<std::string> names;
  for (const auto& f : permissions::kFlags) {
    ASSERT_GE(f.bit, 0);
    ASSERT_LT(f.bit, 8);
    EXPECT_EQ(seen & (1u << f.bit), 0u) << f.name;
    seen |= 1u << f.bit;
    names.insert(std::string(f.name));
    EXPECT_EQ(permissions::bit_of(f.name), f.bit);
  }
  EXPECT_EQ(seen, permissions::kAll);
  EXPECT_EQ(names.size(), 8u);
  for (const char* none : {"", "container", "container.type", "access.view.x", "Access.view"})
    EXPECT_EQ(permissions::bit_of(none), -1) << none;
}

// The bits of the stored byte, as written by every client so far.
TEST(Permissions, StoredBits) {
  const std::pair<const char*, int> bits[] = {
      {"container.download", 0},  {"container.decrypt", 1},      {"container.upload", 2},
      {"access.view", 3},         {"access.modify", 4},          {"container.type.modify", 5},
      {"container.type.view", 6}, {"container.access_events", 7}};
  for (const auto& [name, bit] : bits) EXPECT_EQ(permissions::bit_of(name), bit) << name;
  // download, decrypt, access events and viewing the access list.
  EXPECT_EQ(permissions::kDefaultRecipient, 0x8b);
}

}  // namespace
}  // namespace velna
