// The OpenSSL contexts that the core's public classes own (aes::Ctr,
// hmac::Mac, Hasher), as owning pointers whose deleters are defined in the
// core, so that no public header includes OpenSSL.
#pragma once

#include <memory>

struct evp_cipher_ctx_st;
struct evp_md_ctx_st;
struct evp_mac_ctx_st;

namespace velna::internal {

struct FreeCipherCtx {
  void operator()(evp_cipher_ctx_st* ctx) const noexcept;
};
struct FreeMdCtx {
  void operator()(evp_md_ctx_st* ctx) const noexcept;
};
struct FreeMacCtx {
  void operator()(evp_mac_ctx_st* ctx) const noexcept;
};

using CipherCtxPtr = std::unique_ptr<evp_cipher_ctx_st, FreeCipherCtx>;
using MdCtxPtr = std::unique_ptr<evp_md_ctx_st, FreeMdCtx>;
using MacCtxPtr = std::unique_ptr<evp_mac_ctx_st, FreeMacCtx>;

}  // namespace velna::internal
