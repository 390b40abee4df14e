// The column cipher of the local database: every encrypted column holds the
// Base64 text of AES-256-CBC over the value's text, under a key and an IV
// that both come from the SHA-256 hash of the database key. Equal values
// give equal stored text, so keys, unique constraints and foreign keys work
// on the stored form, and equality filters compare ciphertexts.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "velna/bytes.h"
#include "velna/handles.h"

namespace velna::store {

class ColumnCipher {
 public:
  // ColumnCipher keys the cipher: AES key = SHA-256(|database_key|), IV = the
  // first 16 bytes of that hash.
  explicit ColumnCipher(ByteView database_key);
  ~ColumnCipher();
  ColumnCipher(const ColumnCipher&) = delete;
  ColumnCipher& operator=(const ColumnCipher&) = delete;

  // encrypt pads |text| with 1 to 16 "*" up to the next block and returns the
  // Base64 text of its encryption. Text that ends in "*" cannot come back
  // unchanged (the padding is stripped by value), so it is refused with
  // InvalidArgument.
  std::string encrypt(std::string_view text);
  // encrypt_to appends the Base64 ciphertext to |out| (no refusal check).
  void encrypt_to(std::string_view text, std::string& out);

  // decrypt reverses encrypt: Base64 decoding, AES-256-CBC, then every
  // trailing "*" stripped. Fails with DecryptionError for text that is not
  // Base64 of whole blocks.
  std::string decrypt(std::string_view stored);
  // decrypt_to is decrypt into |out|, whose storage it reuses.
  void decrypt_to(std::string_view stored, std::string& out);

  // same_key: this cipher was made from |database_key|.
  bool same_key(ByteView database_key) const;

 private:
  SecretBytes hash_;
  internal::EvpCipherCtx enc_, dec_;
  std::string scratch_;  // the padded text and its encryption
  Bytes raw_;            // the decoded ciphertext
};

// kTrailingPadMessage: the message for text the cipher cannot store
// faithfully; keeps_text tells such text apart (it ends in the padding).
inline constexpr std::string_view kTrailingPadMessage =
    "Cannot store text ending in '*' in an encrypted column: the padding would remove it.";
inline bool keeps_text(std::string_view text) { return text.empty() || text.back() != '*'; }

// base64_encode / base64_decode: the standard alphabet with padding;
// base64_decode fails with DecryptionError on malformed input.
std::string base64_encode(ByteView data);
Bytes base64_decode(std::string_view text);

}  // namespace velna::store
