#include "velna/crypto/digest.h"

#include "internal/openssl.h"

namespace velna {
namespace {

struct HashInfo {
  std::string_view name;
  std::size_t digest_size;
  std::size_t block_size;
};

constexpr HashInfo kInfo[kHashKindCount] = {{"sha1", 20, 64},
                                            {"sha224", 28, 64},
                                            {"sha256", 32, 64},
                                            {"sha384", 48, 128},
                                            {"sha512", 64, 128}};

const HashInfo& info(HashKind kind) { return kInfo[static_cast<int>(kind)]; }

}  // namespace

std::string_view hash_name(HashKind kind) { return info(kind).name; }
std::size_t digest_size(HashKind kind) { return info(kind).digest_size; }
std::size_t block_size(HashKind kind) { return info(kind).block_size; }

std::optional<HashKind> hash_kind_from_name(std::string_view name) {
  for (int i = 0; i < kHashKindCount; ++i)
    if (kInfo[i].name == name) return static_cast<HashKind>(i);
  return std::nullopt;
}

void digest(HashKind kind, ByteView data, std::uint8_t* out) {
  internal::EvpMdCtx ctx = internal::new_md_ctx();
  internal::check(EVP_DigestInit_ex2(ctx.get(), internal::md(kind), nullptr), "EVP_DigestInit");
  internal::check(EVP_DigestUpdate(ctx.get(), data.data(), data.size()), "EVP_DigestUpdate");
  internal::check(EVP_DigestFinal_ex(ctx.get(), out, nullptr), "EVP_DigestFinal");
}

Sha384Digest sha384(ByteView data) {
  Sha384Digest out;
  digest(HashKind::Sha384, data, out.data());
  return out;
}

std::string hex_digest(HashKind kind, ByteView data) {
  std::uint8_t out[EVP_MAX_MD_SIZE];
  digest(kind, data, out);
  return to_hex({out, digest_size(kind)});
}

Hasher::Hasher(HashKind kind) : kind_(kind), ctx_(internal::new_md_ctx()) {
  internal::check(EVP_DigestInit_ex2(ctx_.get(), internal::md(kind), nullptr), "EVP_DigestInit");
}

Hasher::Hasher(HashKind kind, internal::EvpMdCtx ctx) : kind_(kind), ctx_(std::move(ctx)) {}

Hasher Hasher::copy() const {
  internal::EvpMdCtx ctx = internal::new_md_ctx();
  internal::check(EVP_MD_CTX_copy_ex(ctx.get(), ctx_.get()), "EVP_MD_CTX_copy");
  return Hasher(kind_, std::move(ctx));
}

void Hasher::update(ByteView data) {
  internal::check(EVP_DigestUpdate(ctx_.get(), data.data(), data.size()), "EVP_DigestUpdate");
}

Bytes Hasher::finalize() {
  Bytes out(digest_size(kind_));
  internal::check(EVP_DigestFinal_ex(ctx_.get(), out.data(), nullptr), "EVP_DigestFinal");
  return out;
}

}  // namespace velna
