#include "velna/log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "velna/crypto/p384.h"
#include "velna/error.h"

namespace {

using velna::test::RecordingSink;

TEST(LogBridge, IsSilentWithoutSinkAndReportsToInstalledSink) {
  velna::log::set_sink(nullptr);
  velna::log::write("velna", velna::log::Level::Info, "nobody hears this");

  auto sink = std::make_shared<RecordingSink>();
  velna::log::set_sink(sink);
  EXPECT_THROW(velna::p384::load_pem_public_key(velna::as_bytes("not a key")),
               velna::InvalidArgument);
  velna::log::set_sink(nullptr);

  ASSERT_EQ(sink->lines.size(), 1u);
  EXPECT_EQ(sink->lines[0].logger, "velna.crypto.p384");
  EXPECT_EQ(sink->lines[0].level, velna::log::Level::Info);
  EXPECT_EQ(sink->lines[0].text, "Public Key is not an EC P384 key in PEM format.");
}

}  // namespace
