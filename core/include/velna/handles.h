// Owning handles of the C libraries under the core (OpenSSL, SQLite,
// libcurl): each a std::unique_ptr whose deleter is Free<the library's free
// function>. The handles that public classes own are named here (aes::Ctr,
// hmac::Mac and Hasher hold OpenSSL contexts, store::Connection and
// store::Statement SQLite ones); their free functions are the core's own,
// so that a public header includes neither library and a caller links
// neither. The rest live in the core's internal headers.
#pragma once

#include <memory>

struct evp_cipher_ctx_st;
struct evp_md_ctx_st;
struct evp_mac_ctx_st;
struct sqlite3;
struct sqlite3_stmt;

namespace velna::internal {

// Free<Fn> is the deleter of a handle that its library frees with Fn.
template <auto Fn>
struct Free {
  template <typename T>
  void operator()(T* p) const noexcept {
    Fn(p);
  }
};

void free_cipher_ctx(evp_cipher_ctx_st* ctx) noexcept;
void free_md_ctx(evp_md_ctx_st* ctx) noexcept;
void free_mac_ctx(evp_mac_ctx_st* ctx) noexcept;
// close_db closes a connection even while statements of it are still
// prepared: it then closes when the last of them is finalized.
void close_db(sqlite3* db) noexcept;
void finalize_stmt(sqlite3_stmt* stmt) noexcept;

using EvpCipherCtx = std::unique_ptr<evp_cipher_ctx_st, Free<free_cipher_ctx>>;
using EvpMdCtx = std::unique_ptr<evp_md_ctx_st, Free<free_md_ctx>>;
using EvpMacCtx = std::unique_ptr<evp_mac_ctx_st, Free<free_mac_ctx>>;
using SqliteDb = std::unique_ptr<sqlite3, Free<close_db>>;
using SqliteStmt = std::unique_ptr<sqlite3_stmt, Free<finalize_stmt>>;

}  // namespace velna::internal
