// The container key blob reader: any input either parses into two non-empty
// keys that lie inside it and write back to the same bytes (the version,
// which readers ignore, aside), or fails with ParseError.
#include <cstddef>
#include <cstdint>

#include "fuzz_util.h"
#include "velna/crypto/container.h"
#include "velna/error.h"

namespace c = velna::container;
using velna::fuzz::expect;
using velna::fuzz::same;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velna::ByteView input(data, size);
  c::KeyBlobView blob;
  try {
    blob = c::parse_key_blob(input);
  } catch (const velna::ParseError&) {
    return 0;
  }
  expect(blob.bytes.data() == data && blob.size() <= size,
         "key blob not at the start of its input");
  expect(!blob.cipher_key.empty() && !blob.mac_key.empty(), "an empty key was accepted");
  expect(blob.size() == c::key_blob_size(blob.cipher_key.size(), blob.mac_key.size()),
         "key blob size differs from its keys");

  velna::Bytes again =
      c::build_key_blob(blob.cipher_index, blob.cipher_key, blob.mac_index, blob.mac_key);
  expect(again.size() == blob.size(), "written key blob size");
  // The first 8 bytes are the version, which the writer always sets.
  expect(same(velna::ByteView(again).subspan(8), blob.bytes.subspan(8)),
         "key blob does not write back to its own bytes");
  return 0;
}
