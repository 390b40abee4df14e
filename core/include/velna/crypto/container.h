// The encrypted container formats: the section (one AES-256-CTR portion with
// its HMAC-SHA384), the container blob (a preamble and two sections) and the
// container key blob (both container keys with their algorithm indexes).
//
// Every integer is unsigned 64-bit little-endian and every variable-length
// byte string is preceded by its own length. Parsing is zero-copy: the view
// structs below point into the caller's input and live only as long as it.
// Every length read from input is checked against the bytes that remain
// before it is used, so a hostile length never reserves memory or wraps an
// offset, also where size_t is 32 bits wide. Bytes after a record are
// ignored. Writers take a caller-supplied buffer so that a binding can
// allocate its result object once and have it filled in place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "velna/bytes.h"

namespace velna::container {

inline constexpr std::string_view kLogger = "velna.crypto.container";
inline constexpr std::string_view kDigestFailure = "Container Digest verification failure.";

// kVersion is the format version written into every blob's preamble;
// kKeyBlobVersion the one written into every key blob. Readers ignore both.
inline constexpr std::uint64_t kVersion = 1;
inline constexpr std::uint64_t kKeyBlobVersion = 1;
// kCipherKeyLength is the size of a generated AES-256 container key.
inline constexpr std::size_t kCipherKeyLength = 32;

// Fixed parts of the layouts: a section as written is kSectionOverhead + n
// bytes for n plaintext bytes (three lengths, a 16-byte IV, a 48-byte digest),
// a blob kBlobOverhead + h + c, a key blob kKeyBlobOverhead + n + m.
inline constexpr std::size_t kSectionOverhead = 88;
inline constexpr std::size_t kPreambleSize = 56;
inline constexpr std::size_t kBlobOverhead = kPreambleSize + 2 * kSectionOverhead;
inline constexpr std::size_t kKeyBlobOverhead = 40;

// kHeaderVersion is the version a container header's JSON text gives beside
// its custom data, under the keys kHeaderVersionKey and kCustomDataKey.
inline constexpr std::uint64_t kHeaderVersion = 1;
inline constexpr std::string_view kHeaderVersionKey = "version";
inline constexpr std::string_view kCustomDataKey = "customData";

// The field names of each layout in the order they are stored: the keys of
// a parsed record (a nested record for a section of the blob) and the names
// that parse errors give.
inline constexpr std::array<const char*, 6> kSectionFields = {
    "iv_length", "iv", "encrypted_length", "encrypted", "digest_length", "digest"};
inline constexpr std::array<const char*, 6> kPreambleFields = {
    "version", "oid", "cipher_index", "mac_index", "header_length", "content_length"};
inline constexpr std::array<const char*, 3> kBlobFields = {"preamble", "header", "content"};
inline constexpr std::array<const char*, 7> kKeyBlobFields = {
    "version",        "cipher_index", "cipher_key_length", "cipher_key", "mac_index",
    "mac_key_length", "mac_key"};

inline constexpr std::size_t kOidSize = 16;
using Oid = std::array<std::uint8_t, kOidSize>;

// uuid_to_bytes_le converts a UUID's 16 bytes from standard (big-endian)
// order to little-endian field order: the first four bytes reversed, the
// next two reversed, the next two reversed, the last eight kept.
Oid uuid_to_bytes_le(const Oid& uuid);
// uuid_from_bytes_le is the inverse of uuid_to_bytes_le (the same swap).
Oid uuid_from_bytes_le(const Oid& bytes_le);

// oid_from is the identifier held in |bytes|, which must be kOidSize bytes
// long (BuildError "oid must be 16 bytes" otherwise).
Oid oid_from(ByteView bytes);

// uuid4_from makes the random UUID (version 4, RFC 4122 variant) whose other
// 122 bits are those of |random|: the high nibble of byte 6 becomes 4 and the
// two high bits of byte 8 become 10, as Python's uuid.UUID(bytes=..., version=4).
Oid uuid4_from(Oid random);
// new_uuid4 is uuid4_from of 16 fresh bytes from fill_random, in standard
// (big-endian) byte order: a new container identifier.
Oid new_uuid4();

// ---------------------------------------------------------------------------
// Section: iv_length, iv, encrypted_length, encrypted, digest_length, digest.

// SectionView is one section's fields. parse_section sets all four members,
// |bytes| being the whole section as it stands in the input; the writers read
// only |iv|, |encrypted| and |digest|.
struct SectionView {
  ByteView iv;
  ByteView encrypted;
  ByteView digest;
  ByteView bytes;
  // size is the number of input bytes the parsed section occupies.
  std::size_t size() const { return bytes.size(); }
};

// section_size is the size of the section written for |plaintext_size| bytes
// of plaintext (88 + n). Fails with BuildError when that overflows size_t.
std::size_t section_size(std::size_t plaintext_size);
// section_size for |fields| is 24 plus the lengths of its three byte strings;
// BuildError when that overflows size_t.
std::size_t section_size(const SectionView& fields);

// parse_section reads one section from the start of |data| and returns views
// into |data|; trailing bytes are ignored. Fails with ParseError when |data|
// ends before a field is complete, including a length that reaches past it.
SectionView parse_section(ByteView data);

// write_section writes |fields| as a section to the start of |out| and
// returns section_size(fields). Fails with InvalidArgument when |out| is too
// small, BuildError when the size overflows. |out| must not overlap |fields|.
std::size_t write_section(const SectionView& fields, MutableByteView out);
// build_section is write_section into a new buffer of the exact size.
Bytes build_section(const SectionView& fields);

// ---------------------------------------------------------------------------
// Container blob: a 56-byte preamble, then the header and content sections.

// Preamble is the blob's fixed part. |oid| is the container identifier in
// UUID little-endian field order. Readers return every field as stored and
// compare none of them with anything; the sections are found through their
// own length fields.
struct Preamble {
  std::uint64_t version = kVersion;
  Oid oid{};
  std::uint64_t cipher_index = 0;
  std::uint64_t mac_index = 0;
  std::uint64_t header_length = 0;
  std::uint64_t content_length = 0;
};

// make_preamble is the preamble a writer stores: version kVersion, both
// indexes 0, and the byte sizes of the two sections as the lengths.
Preamble make_preamble(const Oid& oid_bytes_le, std::uint64_t header_section_size,
                       std::uint64_t content_section_size);

// BlobView is a parsed blob: its preamble, both sections (viewing into the
// input) and |bytes|, the input bytes the blob occupies.
struct BlobView {
  Preamble preamble;
  SectionView header;
  SectionView content;
  ByteView bytes;
  std::size_t size() const { return bytes.size(); }
};

// blob_size is the size of the blob written for header and content plaintexts
// of |header_size| and |content_size| bytes (232 + h + c). BuildError when
// that overflows size_t.
std::size_t blob_size(std::size_t header_size, std::size_t content_size);
// blob_size for two sections' fields is 56 plus both section sizes.
std::size_t blob_size(const SectionView& header, const SectionView& content);

// parse_blob reads a blob from the start of |data|: the preamble, then the
// header section at byte 56, then the content section right after it.
// Trailing bytes are ignored. ParseError when |data| ends before a field is
// complete.
BlobView parse_blob(ByteView data);

// write_blob writes |preamble| as given, then the two sections rebuilt from
// their fields, to the start of |out|, and returns blob_size(header, content).
// InvalidArgument when |out| is too small, BuildError when the size
// overflows. |out| must not overlap the inputs.
std::size_t write_blob(const Preamble& preamble, const SectionView& header,
                       const SectionView& content, MutableByteView out);
Bytes build_blob(const Preamble& preamble, const SectionView& header, const SectionView& content);

// ---------------------------------------------------------------------------
// Container key blob: version, cipher_index, cipher_key_length, cipher_key,
// mac_index, mac_key_length, mac_key.

// KeyBlobView is a parsed key blob; the keys view into the input, and |bytes|
// is the input the blob occupies. The version and indexes are returned as
// stored, unchecked.
struct KeyBlobView {
  std::uint64_t version = 0;
  std::uint64_t cipher_index = 0;
  ByteView cipher_key;
  std::uint64_t mac_index = 0;
  ByteView mac_key;
  ByteView bytes;
  std::size_t size() const { return bytes.size(); }
};

// key_blob_size is the size of a key blob holding keys of |cipher_key_size|
// and |mac_key_size| bytes (40 + n + m). BuildError when that overflows.
std::size_t key_blob_size(std::size_t cipher_key_size, std::size_t mac_key_size);

// parse_key_blob reads a key blob from the start of |data|; trailing bytes
// are ignored. ParseError when |data| ends before a field is complete, and
// when either key is empty: a reader must never stand in fresh random keys
// for missing ones. Keys of any other length are accepted.
KeyBlobView parse_key_blob(ByteView data);

// write_key_blob writes a key blob of version kKeyBlobVersion to the start of
// |out| and returns its size. BuildError when a key is empty (no reader would
// take the record back) or the size overflows; InvalidArgument when |out| is
// too small.
std::size_t write_key_blob(std::uint64_t cipher_index, ByteView cipher_key, std::uint64_t mac_index,
                           ByteView mac_key, MutableByteView out);
Bytes build_key_blob(std::uint64_t cipher_index, ByteView cipher_key, std::uint64_t mac_index,
                     ByteView mac_key);

// ---------------------------------------------------------------------------
// Section encryption: AES-256-CTR of the plaintext, HMAC-SHA384 of the
// ciphertext alone (the IV, the lengths and the preamble are not covered).

// encrypt_section draws a fresh IV (8 random bytes, 8 zero bytes), encrypts
// |plaintext| under |cipher_key| straight into a section at the start of
// |out|, digests the ciphertext under |mac_key| in place, and returns
// section_size(plaintext.size()). InvalidArgument when |out| is too small
// (before an IV is drawn) or the cipher key is not an AES key size.
// WARNING: |out| must not overlap |plaintext|.
std::size_t encrypt_section(ByteView cipher_key, ByteView mac_key, ByteView plaintext,
                            MutableByteView out);
Bytes encrypt_section(ByteView cipher_key, ByteView mac_key, ByteView plaintext);

// encrypt_section_with_iv is encrypt_section with the caller's |iv| in place
// of a fresh one, for callers that draw IVs themselves. InvalidArgument when
// |iv| is not 16 bytes. WARNING: reusing an IV under one key discloses the
// XOR of the plaintexts.
std::size_t encrypt_section_with_iv(ByteView cipher_key, ByteView mac_key, ByteView iv,
                                    ByteView plaintext, MutableByteView out);
Bytes encrypt_section_with_iv(ByteView cipher_key, ByteView mac_key, ByteView iv,
                              ByteView plaintext);

// encrypt_blob writes a whole container blob to the start of |out|: the
// preamble (identifier |oid_bytes_le|, version kVersion, indexes 0, both
// section sizes) and the header and content sections, each encrypted as
// encrypt_section does under the one pair of keys and with an IV of its own.
// Returns blob_size(header_plaintext.size(), content_plaintext.size()).
// InvalidArgument when |out| is too small or the cipher key is not an AES key
// size, before an IV is drawn. WARNING: |out| must not overlap the inputs.
std::size_t encrypt_blob(const Oid& oid_bytes_le, ByteView cipher_key, ByteView mac_key,
                         ByteView header_plaintext, ByteView content_plaintext,
                         MutableByteView out);
Bytes encrypt_blob(const Oid& oid_bytes_le, ByteView cipher_key, ByteView mac_key,
                   ByteView header_plaintext, ByteView content_plaintext);

// section_digest_matches is true when |section|'s digest is the HMAC-SHA384
// of its ciphertext under |mac_key|, compared in constant time (a digest of
// any other length never matches).
bool section_digest_matches(ByteView mac_key, const SectionView& section);

// decrypt_section verifies |section|'s digest over its ciphertext under
// |mac_key| in constant time and only then decrypts the ciphertext under
// |cipher_key| into |out|, returning the plaintext size (that of the
// ciphertext). On a mismatch it logs kDigestFailure at error level on kLogger
// and throws DecryptionError(kDigestFailure), leaving |out| untouched.
// InvalidArgument when |out| is too small (checked first) or, after a
// successful verification, when the key or the IV has a size AES refuses.
// |out| may be the section's own ciphertext bytes (decryption in place).
std::size_t decrypt_section(ByteView cipher_key, ByteView mac_key, const SectionView& section,
                            MutableByteView out);
Bytes decrypt_section(ByteView cipher_key, ByteView mac_key, const SectionView& section);

}  // namespace velna::container
