// The key file reader: any input either parses into a header and two
// sections that lie inside it and write back to the same bytes, or fails
// with ParseError. The UTF-8 check that guards decrypted key rings is held
// against a reference decoder written here from the encoding's definition.
#include <cstddef>
#include <cstdint>

#include "fuzz_util.h"
#include "velna/crypto/lockbox.h"
#include "velna/error.h"

namespace lb = velna::lockbox;
using velna::fuzz::expect;
using velna::fuzz::inside;
using velna::fuzz::same;

namespace {

// utf8_reference decodes |s| code point by code point: shortest forms only,
// no surrogates, nothing above U+10FFFF.
bool utf8_reference(velna::ByteView s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const std::uint8_t b = s[i];
    std::size_t n = 0;
    std::uint32_t cp = 0, min = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xe0) == 0xc0) {
      n = 1, cp = b & 0x1f, min = 0x80;
    } else if ((b & 0xf0) == 0xe0) {
      n = 2, cp = b & 0x0f, min = 0x800;
    } else if ((b & 0xf8) == 0xf0) {
      n = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velna::ByteView input(data, size);
  expect(lb::is_utf8(input) == utf8_reference(input), "is_utf8 disagrees with the reference");

  lb::FileView file;
  try {
    file = lb::parse_file(input);
  } catch (const velna::ParseError&) {
    return 0;
  }
  expect(file.bytes.data() == data && file.bytes.size() <= size,
         "file not at the start of its input");
  for (const lb::SectionView* s : {&file.key_ring, &file.rescue}) {
    expect(inside(s->bytes, file.bytes), "section outside the file");
    expect(inside(s->salt, s->bytes) && inside(s->iv, s->bytes) && inside(s->encrypted, s->bytes),
           "section field outside its section");
    expect(s->size() == lb::section_size(s->salt.size(), s->iv.size(), s->encrypted.size()),
           "section size differs from its fields");
  }
  velna::Bytes again = lb::build_file(file.version, file.key_ring_length, file.rescue_length,
                                      file.key_ring, file.rescue);
  expect(same(again, file.bytes), "key file does not write back to its own bytes");
  return 0;
}
