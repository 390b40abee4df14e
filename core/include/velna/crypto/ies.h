// The recipient key blob's integrated encryption scheme: a sender seals a
// short plaintext (a container's key blob) for one recipient's P-384
// derivation key and signs the result with one of its own P-384 signing keys.
//
//  - ephemeral-static ECDH on P-384 against the recipient's key;
//  - the ANSI X9.63 KDF over SHA-384 turns the shared secret into a 32-byte
//    AES key and a 48-byte HMAC key; its shared info is the container
//    identifier followed by the ephemeral public key as stored in the blob;
//  - AES-256-CTR under a fresh IV, then HMAC-SHA384 over every byte of the
//    blob before the MAC (encrypt-then-MAC);
//  - an ECDSA-SHA384 signature by the sender over every byte before it.
//
// Layout (docs/ies.md has the full description): unsigned 64-bit
// little-endian integers, a 16-byte identifier, and byte strings each
// preceded by their length:
//
//   version, recipient_key_index, sender_key_index, container_id (16 bytes),
//   sender_public_key, ephemeral_public_key, iv, ciphertext, mac, signature
//
// Public keys are uncompressed SEC 1 points (97 bytes, 04 || x || y).
// Parsing is strict: the version must be kVersion, both points 97 bytes
// starting with 04, the IV 16 and the MAC 48 bytes, every length must fit in
// what remains, and no byte may follow the signature.
//
// Every failure to read or open a blob, whatever its cause, is one
// OpenFailure carrying kFailure, so that nothing about the cause leaks.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "velna/bytes.h"
#include "velna/crypto/ec.h"
#include "velna/error.h"

namespace velna::ies {

inline constexpr std::uint64_t kVersion = 1;
inline constexpr std::string_view kFailure = "Unable to open the recipient key blob.";

inline constexpr std::size_t kIdSize = 16;
inline constexpr std::size_t kPointSize = 97;
inline constexpr std::size_t kIvSize = 16;
inline constexpr std::size_t kMacSize = 48;
inline constexpr std::size_t kCipherKeySize = 32;
inline constexpr std::size_t kMacKeySize = 48;

// ContainerId is the container identifier as the blob stores it: the UUID in
// little-endian field order (Python's UUID.bytes_le), as the container blob
// stores it too.
using ContainerId = std::array<std::uint8_t, kIdSize>;

// OpenFailure is the only error of parse and open: always kFailure.
class OpenFailure : public DecryptionError {
 public:
  OpenFailure() : DecryptionError(std::string(kFailure)) {}
};

// BlobView is a parsed blob. The views point into the parsed input and live
// only as long as it. |signed_part| is every byte before the signature's
// length field, |mac_part| every byte before the MAC's length field.
struct BlobView {
  std::uint64_t version = 0;
  std::uint64_t recipient_key_index = 0;
  std::uint64_t sender_key_index = 0;
  ContainerId container_id{};
  ByteView sender_public_key;
  ByteView ephemeral_public_key;
  ByteView iv;
  ByteView ciphertext;
  ByteView mac;
  ByteView signature;
  ByteView mac_part;
  ByteView signed_part;
};

// parse reads a whole blob, strictly as described above; OpenFailure
// otherwise. It checks the layout only: keys, MAC and signature are checked
// by open.
BlobView parse(ByteView blob);

// Sender is the sealing party: its signing key and that key's index in the
// sender's key ring.
struct Sender {
  const ec::PrivateKey& signing_key;
  std::uint64_t index;
};

// Recipient is the party a blob is sealed for: its derivation key (public
// half) and that key's index in the recipient's key ring.
struct Recipient {
  const ec::PublicKey& derivation_key;
  std::uint64_t index;
};

// seal encrypts |plaintext| for |recipient|, bound to |container_id|, and
// signs it as |sender|. InvalidArgument when a key is not on P-384.
Bytes seal(ByteView plaintext, const ContainerId& container_id, const Sender& sender,
           const Recipient& recipient);

// open checks and decrypts a parsed blob with the recipient's derivation key
// of index blob.recipient_key_index. The signature is verified against the
// sender's key carried in the blob; when |expected_sender| is given, that
// key must also be |expected_sender| (sender authenticity; without it the
// signature proves integrity only). When |expected_id| is given, the blob's
// container identifier must equal it. The signature and the MAC (in
// constant time) are checked before anything is decrypted. OpenFailure for
// every failure.
SecretBytes open(const BlobView& blob, const ec::PrivateKey& recipient_key,
                 const ec::PublicKey* expected_sender = nullptr,
                 const ContainerId* expected_id = nullptr);

}  // namespace velna::ies
