// The key file: a user's private keys as JSON text sealed under a key derived
// from the password's SHA-384 hex text (the key-ring section), followed by
// the rescue section, which seals that hex text under a key derived from the
// passphrase.
//
// Layout (every integer unsigned 64-bit little-endian, no padding):
//   file:    version, key_ring_length, rescue_length, key_ring section,
//            rescue section right after the key-ring section
//   section: salt_length, salt, iv_length, iv, encrypted_length, encrypted
// Readers take each byte string's size from its own length field; the two
// section lengths of the header are written but never read, and bytes after
// the rescue section are ignored. Every length read is compared with what
// remains in 64-bit arithmetic before it is used, so a hostile length never
// reserves memory or wraps an offset, also where size_t is 32 bits wide.
//
// Sealing: PBKDF2-HMAC-SHA384 (100000 iterations, 32 bytes) of the secret's
// UTF-8 bytes under a fresh 8-byte salt gives an AES-256 key; AES-256-CTR
// under a fresh IV (8 random bytes, 8 zero bytes) encrypts the plaintext.
// WARNING: the sections are not authenticated. A wrong secret is noticed
// only because the plaintext it gives is not UTF-8 JSON, and a modified file
// is not noticed at all; a key file's integrity rests on what its keys sign
// and on the server's checks, never on the file itself.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "velna/bytes.h"

namespace velna::lockbox {

// kVersion is the format version written into every key file; it selects
// the key-derivation engine, and version 1 is the only one known.
inline constexpr std::uint64_t kVersion = 1;
inline constexpr std::size_t kSaltLength = 8;
inline constexpr std::size_t kKeyLength = 32;
inline constexpr std::uint32_t kIterations = 100000;
// A section as written is kSectionOverhead + n bytes for n plaintext bytes; a
// file is kHeaderSize plus its two sections.
inline constexpr std::size_t kSectionOverhead = 48;
inline constexpr std::size_t kHeaderSize = 24;

// The field names of the layouts in the order they are stored: the keys of
// a parsed record (a nested record for a section of the file) and the names
// that parse errors give.
inline constexpr std::array<const char*, 6> kSectionFields = {
    "salt_length", "salt", "iv_length", "iv", "encrypted_length", "encrypted"};
inline constexpr std::array<const char*, 5> kFileFields = {"version", "key_ring_length",
                                                           "rescue_length", "key_ring", "rescue"};

inline constexpr std::string_view kKeyRingFailure =
    "Failed to decrypt the key file.  Check password.";
inline constexpr std::string_view kRescueFailure =
    "Failed to decrypt the key file rescue.  Check passphrase.";

// SectionView is one section's fields, viewing into the parsed input;
// |bytes| is the whole section as it stands there.
struct SectionView {
  ByteView salt;
  ByteView iv;
  ByteView encrypted;
  ByteView bytes;
  std::size_t size() const { return bytes.size(); }
};

// FileView is a parsed key file: its header fields as stored and both
// sections; |bytes| is the input that the file occupies.
struct FileView {
  std::uint64_t version = 0;
  std::uint64_t key_ring_length = 0;
  std::uint64_t rescue_length = 0;
  SectionView key_ring;
  SectionView rescue;
  ByteView bytes;
};

// section_size is 48 plus the lengths of the three byte strings; BuildError
// when that overflows size_t.
std::size_t section_size(std::size_t salt_size, std::size_t iv_size, std::size_t encrypted_size);

// parse_section reads one section from the start of |data|; trailing bytes
// are ignored. ParseError when |data| ends before a field is complete.
SectionView parse_section(ByteView data);

// write_section writes |fields| (salt, iv, encrypted) as a section to the
// start of |out| and returns its size. InvalidArgument when |out| is too
// small. |out| must not overlap the fields.
std::size_t write_section(const SectionView& fields, MutableByteView out);
Bytes build_section(const SectionView& fields);

// parse_file reads a key file from the start of |data|: the 24-byte header,
// the key-ring section at byte 24 and the rescue section right after it.
// ParseError when |data| ends before a field is complete.
FileView parse_file(ByteView data);

// build_file writes the header as given and both sections rebuilt from
// their fields.
Bytes build_file(std::uint64_t version, std::uint64_t key_ring_length, std::uint64_t rescue_length,
                 const SectionView& key_ring, const SectionView& rescue);

// join_sections is the key file of the two sealed sections |key_ring| and
// |rescue| (each a whole section, as seal_section writes it): version
// kVersion and the sizes of both sections in the header. ParseError when
// either is not a section.
Bytes join_sections(ByteView key_ring, ByteView rescue);

// has_engine tells whether |version| has a key-derivation engine.
bool has_engine(std::uint64_t version);

// derive_key is the section key of |version| for |secret| and |salt|.
// InvalidArgument for a version without an engine, before anything is
// derived.
SecretBytes derive_key(std::uint64_t version, ByteView secret, ByteView salt);

// seal_section draws a fresh salt and IV, derives the key of |version| from
// |secret| and returns the section that encrypts |plaintext|.
Bytes seal_section(std::uint64_t version, ByteView secret, ByteView plaintext);

// open_section derives the key of |version| from |secret| and the section's
// salt and returns the decrypted bytes, which are the plaintext only when
// the secret was right. InvalidArgument for a version without an engine or
// an IV that is not 16 bytes, before anything is derived.
SecretBytes open_section(std::uint64_t version, ByteView secret, const SectionView& section);

// is_utf8 tells whether |text| is well-formed UTF-8 (no surrogates, no
// overlong forms, nothing above U+10FFFF).
bool is_utf8(ByteView text);

// password_secret is the key-ring secret of |password|: the password itself
// when it is 96 characters that read as a base-16 integer as the Python
// binding reads them (int(text, 16): surrounding blanks, a sign, a 0x prefix
// and single underscores between digits included), else its lower-case
// SHA-384 hex text. The same password thus opens the same file from C++ and
// from Python.
std::string password_secret(std::string_view password);

// rescue_plaintext is the JSON text of the rescue section for the hex text
// |password_hash| (96 hexadecimal digits): {"password": "<hex>"}.
std::string rescue_plaintext(std::string_view password_hash);

// write_file seals |key_ring_json| under password_secret(password) and the
// rescue plaintext under |passphrase|, and returns the whole file (version
// kVersion). InvalidArgument when |key_ring_json| is not UTF-8.
Bytes write_file(std::string_view key_ring_json, std::string_view password,
                 std::string_view passphrase);

// open_key_ring returns the key-ring JSON text of |file| for |password| (the
// password, or the hex text that recover_password gives). ParseError for a
// malformed file, InvalidArgument for an unknown version (before anything is
// derived), DecryptionError(kKeyRingFailure) when the decrypted bytes are not
// UTF-8.
std::string open_key_ring(ByteView file, std::string_view password);

// recover_password returns the password's hex text that the rescue section
// of |file| holds for |passphrase|. Errors as open_key_ring, with
// kRescueFailure, and ParseError when the plaintext is not a JSON object
// with a text member "password".
std::string recover_password(ByteView file, std::string_view passphrase);

}  // namespace velna::lockbox
