#include "velna/crypto/hmac.h"

#include "internal/openssl.h"

namespace velna::hmac {
namespace {

// A new HMAC context with its digest set, not yet keyed: a copy of the
// current algorithm set's unkeyed context of that digest.
internal::EvpMacCtx new_context(HashKind kind) {
  const internal::Algorithms& set = internal::algorithms();
  const EVP_MD* md = internal::md(kind);  // UnsupportedAlgorithm when the digest is absent
  const internal::EvpMacCtx& from = set.hmac_unkeyed[static_cast<int>(kind)];
  if (!from)
    return internal::EvpMacCtx(internal::check_ptr(
        internal::unkeyed_hmac(set.hmac.get(), md).release(), "EVP_MAC_CTX_set_params"));
  return internal::EvpMacCtx(internal::check_ptr(EVP_MAC_CTX_dup(from.get()), "EVP_MAC_CTX_dup"));
}

internal::EvpMacCtx keyed(HashKind kind, ByteView key) {
  internal::EvpMacCtx ctx = new_context(kind);
  // EVP_MAC_init refuses a null key pointer even for an empty key.
  static const std::uint8_t empty = 0;
  internal::check(EVP_MAC_init(ctx.get(), key.empty() ? &empty : key.data(), key.size(), nullptr),
                  "EVP_MAC_init");
  return ctx;
}

}  // namespace

void sha384(ByteView key, ByteView data, std::uint8_t* out) {
  auto ctx = keyed(HashKind::Sha384, key);
  internal::check(EVP_MAC_update(ctx.get(), data.data(), data.size()), "EVP_MAC_update");
  std::size_t len = 0;
  internal::check(EVP_MAC_final(ctx.get(), out, &len, kSha384TagSize), "EVP_MAC_final");
}

Sha384Tag sha384(ByteView key, ByteView data) {
  Sha384Tag tag;
  sha384(key, data, tag.data());
  return tag;
}

void verify_sha384(ByteView key, ByteView data, ByteView tag) {
  Sha384Tag expected = sha384(key, data);
  if (!constant_time_equal(expected, tag))
    throw InvalidSignature("Signature did not match digest.");
}

Mac::Mac(HashKind kind, ByteView key) : kind_(kind), ctx_(keyed(kind, key)) {}

Mac::Mac(HashKind kind, internal::EvpMacCtx ctx) : kind_(kind), ctx_(std::move(ctx)) {}

Mac Mac::copy() const {
  return Mac(kind_, internal::EvpMacCtx(
                        internal::check_ptr(EVP_MAC_CTX_dup(ctx_.get()), "EVP_MAC_CTX_dup")));
}

void Mac::update(ByteView data) {
  internal::check(EVP_MAC_update(ctx_.get(), data.data(), data.size()), "EVP_MAC_update");
}

Bytes Mac::finalize() {
  Bytes out(digest_size(kind_));
  std::size_t len = 0;
  internal::check(EVP_MAC_final(ctx_.get(), out.data(), &len, out.size()), "EVP_MAC_final");
  out.resize(len);
  return out;
}

void Mac::finalize_into(std::uint8_t* out) {
  std::size_t len = 0;
  internal::check(EVP_MAC_final(ctx_.get(), out, &len, digest_size(kind_)), "EVP_MAC_final");
}

void Mac::reset() {
  // A null key re-initialises the context with the key it already holds.
  internal::check(EVP_MAC_init(ctx_.get(), nullptr, 0, nullptr), "EVP_MAC_init");
}

void Mac::verify(ByteView tag) {
  Bytes expected = finalize();
  if (!constant_time_equal(expected, tag))
    throw InvalidSignature("Signature did not match digest.");
}

}  // namespace velna::hmac
