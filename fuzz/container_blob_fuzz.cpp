// The container blob reader: any input either parses into views that lie
// inside it and write back to the very same bytes, or fails with ParseError.
// A parsed blob is then opened under fixed keys, which must fail cleanly
// with DecryptionError (or decrypt, for the rare input that carries a
// matching digest).
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_util.h"
#include "velna/crypto/container.h"
#include "velna/error.h"

namespace c = velna::container;
using velna::fuzz::expect;
using velna::fuzz::inside;
using velna::fuzz::same;

namespace {

void check_section(const c::SectionView& s, velna::ByteView whole) {
  expect(inside(s.bytes, whole), "section outside its input");
  expect(inside(s.iv, s.bytes) && inside(s.encrypted, s.bytes) && inside(s.digest, s.bytes),
         "section field outside its section");
  expect(s.size() == c::section_size(s), "section size differs from its fields");
}

void open_section(const c::SectionView& s) {
  static const std::uint8_t cipher_key[32] = {1};
  static const std::uint8_t mac_key[128] = {2};
  try {
    velna::Bytes plain = c::decrypt_section(cipher_key, mac_key, s);
    expect(plain.size() == s.encrypted.size(), "plaintext size differs from ciphertext size");
  } catch (const velna::DecryptionError&) {
  } catch (const velna::InvalidArgument&) {
    // A digest that verified over an IV AES refuses.
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velna::ByteView input(data, size);
  c::BlobView blob;
  try {
    blob = c::parse_blob(input);
  } catch (const velna::ParseError&) {
    return 0;
  }
  expect(blob.bytes.data() == data && blob.size() <= size, "blob not at the start of its input");
  check_section(blob.header, blob.bytes);
  check_section(blob.content, blob.bytes);
  expect(blob.size() == c::blob_size(blob.header, blob.content),
         "blob size differs from its parts");

  velna::Bytes again(blob.size());
  expect(c::write_blob(blob.preamble, blob.header, blob.content, again) == blob.size(),
         "written blob size");
  expect(same(again, blob.bytes), "blob does not write back to its own bytes");

  // Each section also parses alone, from where the blob found it.
  c::SectionView header = c::parse_section(input.subspan(c::kPreambleSize));
  expect(same(header.bytes, blob.header.bytes), "header section parses differently alone");

  open_section(blob.header);
  open_section(blob.content);
  return 0;
}
