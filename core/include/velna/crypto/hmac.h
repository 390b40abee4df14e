// HMAC (RFC 2104, FIPS 198-1) through OpenSSL.
#pragma once

#include <array>
#include <cstdint>

#include "velna/bytes.h"
#include "velna/crypto/digest.h"
#include "velna/handles.h"

namespace velna::hmac {

inline constexpr std::size_t kSha384TagSize = 48;
inline constexpr std::size_t kKeyLength = 128;

using Sha384Tag = std::array<std::uint8_t, kSha384TagSize>;

// sha384 computes HMAC-SHA384 of |data| under |key| into |out| (48 bytes).
void sha384(ByteView key, ByteView data, std::uint8_t* out);
Sha384Tag sha384(ByteView key, ByteView data);

// verify_sha384 fails with InvalidSignature unless |tag| is exactly the
// HMAC-SHA384 of |data| under |key|; the comparison runs in constant time,
// and a tag of any length other than 48 never matches.
void verify_sha384(ByteView key, ByteView data, ByteView tag);

// Mac is an incremental HMAC context under any supported hash. Movable;
// copy() makes an independent context in the same state.
class Mac {
 public:
  Mac(HashKind kind, ByteView key);
  Mac copy() const;
  void update(ByteView data);
  Bytes finalize();
  // finalize_into writes the MAC to |out|, which must hold digest_size(kind())
  // bytes.
  void finalize_into(std::uint8_t* out);
  // reset starts a new MAC under the same key, as a fresh Mac would, without
  // keying the context again.
  void reset();
  // verify finalizes and compares in constant time; InvalidSignature on a
  // mismatch.
  void verify(ByteView tag);
  HashKind kind() const { return kind_; }

 private:
  Mac(HashKind kind, internal::EvpMacCtx ctx);

  HashKind kind_;
  internal::EvpMacCtx ctx_;
};

}  // namespace velna::hmac
