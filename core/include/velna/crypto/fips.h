// The FIPS switch.
#pragma once

namespace velna::fips {

// enable puts OpenSSL into FIPS mode: it loads the FIPS provider, makes
// "fips=yes" a default property and checks that SHA2-384 and AES-256-CTR can
// then be fetched. On any failure it restores the previous state and fails
// with AssertionFailure ("Unable to set FIPS mode."). A library already in
// FIPS mode passes.
void enable();

}  // namespace velna::fips
