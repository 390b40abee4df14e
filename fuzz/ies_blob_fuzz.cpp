// The recipient key blob reader: any input either parses strictly (fixed
// sizes as the layout states, nothing after the signature) or fails with
// OpenFailure alone; a parsed blob opened under a fixed recipient key fails
// with OpenFailure alone too, however its points, MAC and signature are
// formed.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_util.h"
#include "velna/crypto/ec.h"
#include "velna/crypto/ies.h"

namespace ies = velna::ies;
using velna::fuzz::expect;

namespace {

const velna::ec::PrivateKey& recipient_key() {
  static const velna::ec::PrivateKey key = velna::ec::PrivateKey::generate(velna::ec::Curve::P384);
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velna::ByteView input(data, size);
  ies::BlobView blob;
  try {
    blob = ies::parse(input);
  } catch (const ies::OpenFailure&) {
    return 0;
  }
  expect(blob.version == ies::kVersion, "a blob of another version parsed");
  expect(blob.sender_public_key.size() == ies::kPointSize && blob.sender_public_key[0] == 0x04 &&
             blob.ephemeral_public_key.size() == ies::kPointSize &&
             blob.ephemeral_public_key[0] == 0x04,
         "a point of the wrong form parsed");
  expect(blob.iv.size() == ies::kIvSize && blob.mac.size() == ies::kMacSize,
         "an IV or MAC of the wrong size parsed");
  expect(blob.signature.data() + blob.signature.size() == data + size,
         "bytes after the signature were accepted");
  expect(blob.signed_part.data() == data && blob.mac_part.data() == data &&
             blob.mac_part.size() < blob.signed_part.size(),
         "signed or MAC'd part misplaced");
  try {
    (void)ies::open(blob, recipient_key());
  } catch (const ies::OpenFailure&) {
  }
  return 0;
}
