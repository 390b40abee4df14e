// Message digests (SHA-1 and SHA-2) through OpenSSL.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velna/bytes.h"
#include "velna/handles.h"

namespace velna {

enum class HashKind : int { Sha1, Sha224, Sha256, Sha384, Sha512 };
inline constexpr int kHashKindCount = 5;

// hash_name is the lower-case name of |kind| ("sha384").
std::string_view hash_name(HashKind kind);
// hash_kind_from_name maps a name of hash_name back; nullopt when unknown.
std::optional<HashKind> hash_kind_from_name(std::string_view name);
std::size_t digest_size(HashKind kind);
std::size_t block_size(HashKind kind);

inline constexpr std::size_t kSha384Size = 48;
using Sha384Digest = std::array<std::uint8_t, kSha384Size>;

// digest writes the digest of |data| under |kind| to |out|, which must hold
// digest_size(kind) bytes.
void digest(HashKind kind, ByteView data, std::uint8_t* out);
Sha384Digest sha384(ByteView data);
// hex_digest is the lower-case hexadecimal digest of |data|.
std::string hex_digest(HashKind kind, ByteView data);

// Hasher is an incremental digest context. Movable; copy() makes an
// independent context in the same state.
class Hasher {
 public:
  explicit Hasher(HashKind kind);
  Hasher copy() const;
  void update(ByteView data);
  // finalize returns the digest; the hasher cannot be used afterwards.
  Bytes finalize();
  HashKind kind() const { return kind_; }

 private:
  Hasher(HashKind kind, internal::EvpMdCtx ctx);

  HashKind kind_;
  internal::EvpMdCtx ctx_;
};

}  // namespace velna
