// Key derivation: the ANSI X9.63 KDF (SEC 1) and PBKDF2-HMAC (RFC 8018).
#pragma once

#include <cstdint>

#include "velna/bytes.h"
#include "velna/crypto/digest.h"

namespace velna::kdf {

// x963_max_length is the longest output the X9.63 KDF allows for |kind|:
// digest size times (2^32 - 1).
std::uint64_t x963_max_length(HashKind kind);

// check_x963_length fails with InvalidArgument when |length| exceeds
// x963_max_length(kind). It takes a 64-bit length so that callers on 32-bit
// platforms can check a request before narrowing it to std::size_t.
void check_x963_length(HashKind kind, std::uint64_t length);

// x963 derives |length| bytes from |secret| and |shared_info|. Fails with
// InvalidArgument when |length| exceeds x963_max_length, and with
// std::bad_alloc when it is within that limit but beyond what std::size_t
// can address (on 32-bit platforms, where the limit is larger). A length of
// 0 gives an empty result.
SecretBytes x963(HashKind kind, ByteView secret, ByteView shared_info, std::uint64_t length);

// An iteration count of PBKDF2 is between 1 and 2^31 - 1 (what OpenSSL
// takes). pbkdf2_iterations narrows a requested count, checked on 64 bits,
// and fails with InvalidArgument ("iterations is out of range") outside it.
inline constexpr std::uint64_t kMaxPbkdf2Iterations = 0x7fffffff;
std::uint32_t pbkdf2_iterations(std::uint64_t count);

// pbkdf2_hmac derives |length| bytes with HMAC under |kind| as the PRF. The
// salt may be empty or as short as the caller likes.
SecretBytes pbkdf2_hmac(HashKind kind, ByteView secret, ByteView salt, std::uint32_t iterations,
                        std::size_t length);

}  // namespace velna::kdf
