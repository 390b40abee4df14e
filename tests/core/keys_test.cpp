// The names of the two kinds of key in key files, rings and records.
#include "velna/crypto/keys.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velna {
namespace {

using keys::Kind;

// A stored row's section becomes a record's keyType and back: every row
// comes back into the section it was stored under.
TEST(KeyKinds, RowsAndRecordsKeepTheirSection) {
  struct Case {
    std::string_view section;
    std::string_view record_type;
    Kind kind;
  };
  const Case cases[] = {
      {"signingKeys", "auth", Kind::Signing},
      {"derivationKeys", "signing", Kind::Derivation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.section));
    EXPECT_EQ(keys::record_type(c.section), c.record_type);
    EXPECT_EQ(keys::kind_of_record(c.record_type), c.kind);
    EXPECT_EQ(keys::section(c.kind), c.section);
  }
  // Names a record may carry beyond the two that are written.
  for (std::string_view other : {"", "Auth", "derivation", "signingKeys", "auth "})
    EXPECT_EQ(keys::kind_of_record(other), Kind::Derivation) << other;
  EXPECT_EQ(keys::record_type("something else"), "signing");
}

}  // namespace
}  // namespace velna
