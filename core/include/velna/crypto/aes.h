// AES in counter mode (NIST SP 800-38A) through OpenSSL.
#pragma once

#include <array>
#include <cstdint>

#include "velna/bytes.h"
#include "velna/handles.h"

namespace velna::aes {

inline constexpr std::size_t kBlockSize = 16;
inline constexpr std::size_t kNonceLength = 8;
inline constexpr std::size_t kIvLength = 16;
inline constexpr std::size_t kKeyLength = 32;

using Iv = std::array<std::uint8_t, kIvLength>;

// check_parameters fails with InvalidArgument unless |key| is 16, 24 or 32
// bytes and |iv| is 16 bytes.
void check_parameters(ByteView key, ByteView iv);

// ctr_transform writes AES-CTR of |in| under |key| and the initial counter
// block |iv| to |out| (in.size() bytes; |out| may equal |in|). Encryption and
// decryption are the same transformation. Input of any length is taken.
void ctr_transform(ByteView key, ByteView iv, ByteView in, std::uint8_t* out);

Bytes ctr_transform(ByteView key, ByteView iv, ByteView in);

// Ctr holds one AES-CTR key schedule for several transformations under the
// same key, each from its own initial counter block. The key is checked
// (InvalidArgument) when the Ctr is made. Movable, not copyable.
class Ctr {
 public:
  explicit Ctr(ByteView key);
  // transform is ctr_transform under this key; InvalidArgument unless |iv|
  // is 16 bytes.
  void transform(ByteView iv, ByteView in, std::uint8_t* out);

 private:
  internal::EvpCipherCtx ctx_;
};

// make_iv draws an initial counter block: 8 random bytes, then 8 zero bytes.
Iv make_iv();

}  // namespace velna::aes
