// The FIPS switch: where no FIPS module is installed it fails and every
// primitive still works, also as the first call of a process.
#include "velna/crypto/fips.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <string>
#include <vector>

#include "test_support.h"
#include "velna/bytes.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/fips.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/kdf.h"
#include "velna/crypto/p384.h"
#include "velna/crypto/random.h"
#include "velna/error.h"

namespace velna {
namespace {

using namespace velna::test;

bool fips_module_present() {
  const char* dir = OPENSSL_info(OPENSSL_INFO_MODULES_DIR);
  return dir && std::filesystem::exists(std::filesystem::path(dir) / "fips.so");
}

// exercise_primitives runs every primitive once; it returns the number of
// failures and reports each on stderr (it also runs in a child process).
int exercise_primitives() {
  int failures = 0;
  auto check = [&](bool ok, const char* what) {
    if (!ok) {
      std::fprintf(stderr, "primitive failed: %s\n", what);
      ++failures;
    }
  };
  try {
    check(to_hex(sha384(as_bytes("abc"))).substr(0, 16) == "cb00753f45a35e8b", "SHA-384");
    Bytes key(32, 1), iv(16, 0);
    check(aes::ctr_transform(key, iv, aes::ctr_transform(key, iv, Bytes(20, 3))) == Bytes(20, 3),
          "AES-CTR");
    Bytes mac_key(128, 2);
    auto tag = hmac::sha384(mac_key, as_bytes("x"));
    hmac::verify_sha384(mac_key, as_bytes("x"), tag);
    check(kdf::x963(HashKind::Sha384, key, {}, 32).size() == 32, "X9.63 KDF");
    check(kdf::pbkdf2_hmac(HashKind::Sha384, key, Bytes(8, 4), 10, 32).size() == 32, "PBKDF2");
    check(random_bytes(16).size() == 16, "random");
    auto a = p384::generate_private_key(), b = p384::generate_private_key();
    a.public_key().verify(HashKind::Sha384, a.sign(HashKind::Sha384, as_bytes("m")), as_bytes("m"));
    check(to_vec(a.exchange(b.public_key())) == to_vec(b.exchange(a.public_key())), "ECDH");
    check(p384::load_pem_private_key(a.to_pem()).public_key().same_key(a.public_key()), "PEM");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "primitive threw: %s\n", e.what());
    ++failures;
  }
  return failures;
}

// in_fips_mode: "fips=yes" is a default property and SHA2-384 can be
// fetched under it.
bool in_fips_mode() {
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA2-384", nullptr);
  EVP_MD_free(md);
  ERR_clear_error();
  return EVP_default_properties_is_fips_enabled(nullptr) == 1 && md != nullptr;
}

void check_fips_switch() {
  if (fips_module_present()) {
    EXPECT_NO_THROW(fips::enable());
    EXPECT_TRUE(in_fips_mode());
  } else {
    expect_failure<AssertionFailure>([] { fips::enable(); }, "FIPS switch",
                                     "Unable to set FIPS mode.");
    EXPECT_FALSE(in_fips_mode());
    // A second attempt fails the same way.
    expect_failure<AssertionFailure>([] { fips::enable(); }, "FIPS switch again",
                                     "Unable to set FIPS mode.");
  }
}

TEST(Fips, SwitchFailsHereAndEveryPrimitiveStillWorks) {
  EXPECT_EQ(exercise_primitives(), 0);
  check_fips_switch();
  EXPECT_EQ(exercise_primitives(), 0);
}

TEST(FipsDeathTest, SwitchAsTheFirstCallOfAProcessLeavesEveryPrimitiveWorking) {
  // "threadsafe" runs the body in a freshly started process, where OpenSSL
  // has not yet loaded any provider.
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool refused = false;
        try {
          fips::enable();
        } catch (const AssertionFailure&) {
          refused = true;
        }
        if (refused == fips_module_present()) std::exit(2);
        if (ERR_peek_error() != 0) std::exit(3);
        std::exit(exercise_primitives() == 0 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
}  // namespace velna
