// The field names of the binary layouts stand in their stored order (a
// truncated input names the field it cut), the length-field check, and a
// key file joined from two sealed sections.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "velna/bytes.h"
#include "velna/crypto/container.h"
#include "velna/crypto/lockbox.h"
#include "velna/error.h"

namespace velna {
namespace {

// field_cut_at is the field that a ParseError names when |parse| reads
// only the first |n| bytes of |whole|.
std::string field_cut_at(const std::function<void(ByteView)>& parse, const Bytes& whole,
                         std::size_t n) {
  try {
    parse(ByteView(whole).first(n));
  } catch (const ParseError& e) {
    const std::string text = e.what();
    const std::size_t at = text.find("field ");
    if (at == std::string::npos) return "?";
    const std::size_t end = text.find(' ', at + 6);
    return text.substr(at + 6, end - at - 6);
  }
  return "";
}

// fields_in_order walks |whole| field by field: each 8-byte length (or
// fixed field) is named first, then the bytes it counts.
std::vector<std::string> fields_in_order(const std::function<void(ByteView)>& parse,
                                         const Bytes& whole) {
  std::vector<std::string> out;
  for (std::size_t n = 0; n < whole.size(); ++n) {
    std::string f = field_cut_at(parse, whole, n);
    if (out.empty() || out.back() != f) out.push_back(f);
  }
  return out;
}

const Bytes kIv(16, 0x11), kCt{1, 2, 3}, kDigest(48, 0x22);

TEST(LayoutFields, ContainerNamesFollowTheStoredOrder) {
  using namespace container;
  const Bytes section = build_section({kIv, kCt, kDigest, {}});
  EXPECT_EQ(fields_in_order([](ByteView d) { parse_section(d); }, section),
            std::vector<std::string>(kSectionFields.begin(), kSectionFields.end()));

  const Bytes keys = build_key_blob(3, Bytes(32, 7), 4, Bytes(48, 8));
  EXPECT_EQ(fields_in_order([](ByteView d) { parse_key_blob(d); }, keys),
            std::vector<std::string>(kKeyBlobFields.begin(), kKeyBlobFields.end()));

  Preamble p = make_preamble(Oid{}, 0, 0);
  const Bytes blob = build_blob(p, {kIv, kCt, kDigest, {}}, {kIv, kCt, kDigest, {}});
  std::vector<std::string> got = fields_in_order([](ByteView d) { parse_blob(d); },
                                                 Bytes(blob.begin(), blob.begin() + kPreambleSize));
  EXPECT_EQ(got, std::vector<std::string>(kPreambleFields.begin(), kPreambleFields.end()));
  EXPECT_EQ(std::vector<std::string>(kBlobFields.begin(), kBlobFields.end()),
            (std::vector<std::string>{"preamble", "header", "content"}));
  EXPECT_EQ(kHeaderVersion, 1u);
  EXPECT_EQ(kHeaderVersionKey, "version");
  EXPECT_EQ(kCustomDataKey, "customData");
}

TEST(LayoutFields, KeyFileNamesFollowTheStoredOrder) {
  using namespace lockbox;
  const Bytes salt(8, 5);
  const Bytes section = build_section({salt, kIv, kCt, {}});
  EXPECT_EQ(fields_in_order([](ByteView d) { parse_section(d); }, section),
            std::vector<std::string>(kSectionFields.begin(), kSectionFields.end()));
  const Bytes file = build_file(1, 0, 0, parse_section(section), parse_section(section));
  std::vector<std::string> got = fields_in_order([](ByteView d) { parse_file(d); },
                                                 Bytes(file.begin(), file.begin() + kHeaderSize));
  EXPECT_EQ(got, std::vector<std::string>(kFileFields.begin(), kFileFields.begin() + 3));
  EXPECT_EQ(kFileFields[3], std::string("key_ring"));
  EXPECT_EQ(kFileFields[4], std::string("rescue"));
}

TEST(LayoutFields, LengthFieldMustCountTheBytes) {
  struct Case {
    std::uint64_t stored;
    std::size_t actual;
    bool ok;
  };
  const Case cases[] = {{0, 0, true},    {16, 16, true},         {15, 16, false},
                        {17, 16, false}, {1ull << 32, 0, false}, {~0ull, 3, false}};
  for (const Case& c : cases) {
    if (c.ok) {
      EXPECT_NO_THROW(check_length_field("iv_length", c.stored, c.actual));
      continue;
    }
    try {
      check_length_field("iv_length", c.stored, c.actual);
      ADD_FAILURE() << c.stored << " for " << c.actual << " was taken";
    } catch (const BuildError& e) {
      EXPECT_STREQ(e.what(), "iv_length does not match the bytes that follow it");
    }
  }
}

TEST(LayoutFields, JoinedSectionsMakeAKeyFileThatOpens) {
  using namespace lockbox;
  const std::string json = "{\"userId\": \"x\"}";
  const std::string hash(96, 'a');  // a password's hex text is its own secret
  const Bytes k = seal_section(kVersion, as_bytes(hash), as_bytes(json));
  const Bytes r =
      seal_section(kVersion, as_bytes(std::string("passphrase")), as_bytes(rescue_plaintext(hash)));
  Bytes trailing_rescue = r;
  trailing_rescue.push_back(0xee);  // the header counts what it was given
  const Bytes file = join_sections(k, trailing_rescue);
  const FileView f = parse_file(file);
  EXPECT_EQ(f.version, kVersion);
  EXPECT_EQ(f.key_ring_length, k.size());
  EXPECT_EQ(f.rescue_length, r.size() + 1);
  EXPECT_EQ(Bytes(f.key_ring.bytes.begin(), f.key_ring.bytes.end()), k);
  EXPECT_EQ(Bytes(f.rescue.bytes.begin(), f.rescue.bytes.end()), r);
  EXPECT_EQ(file.size(), kHeaderSize + k.size() + r.size());
  EXPECT_EQ(open_key_ring(file, hash), json);
  EXPECT_EQ(recover_password(file, "passphrase"), hash);

  EXPECT_THROW(join_sections(Bytes(5, 0), r), ParseError);
  EXPECT_THROW(join_sections(k, Bytes(30, 0xff)), ParseError);
}

}  // namespace
}  // namespace velna
