#include "velna/store/sqlite.h"

#include <sqlite3.h>

#include <climits>

namespace velna {

void internal::close_db(sqlite3* db) noexcept { sqlite3_close_v2(db); }
void internal::finalize_stmt(sqlite3_stmt* stmt) noexcept { sqlite3_finalize(stmt); }

namespace store {
namespace {

// throw_error throws the error kind that matches SQLite's |code|.
[[noreturn]] void throw_error(sqlite3* db, int code, std::string_view what) {
  std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  if (message.empty()) message = std::string(what);
  if ((code & 0xff) == SQLITE_CONSTRAINT) throw IntegrityError(message, code);
  throw DatabaseError(message, code);
}

}  // namespace

Connection Connection::open(const std::string& path, bool foreign_keys) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection c;
  c.db_.reset(raw);  // a failed open still hands back a handle to close
  if (rc != SQLITE_OK) throw_error(raw, rc, "open");
  sqlite3_extended_result_codes(raw, 1);
  sqlite3_busy_timeout(raw, 5000);
  if (foreign_keys) c.exec("PRAGMA foreign_keys=ON");
  return c;
}

void Connection::exec(std::string_view sql) {
  std::string text(sql);
  int rc = sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw_error(db_.get(), rc, "exec");
}

Statement Connection::prepare(std::string_view sql) {
  if (sql.size() > static_cast<std::size_t>(INT_MAX)) throw InvalidArgument("statement too long");
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_.get(), sql.data(), static_cast<int>(sql.size()), &raw, nullptr);
  internal::SqliteStmt stmt(raw);  // null after a failure
  if (rc != SQLITE_OK) throw_error(db_.get(), rc, "prepare");
  return Statement(db_.get(), std::move(stmt));
}

bool Connection::has_table(std::string_view name) {
  Statement probe = prepare("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
  probe.bind_text(1, name);
  return probe.step();
}

namespace {
constexpr std::string_view kSqliteScheme = "sqlite:///";
}  // namespace

std::string sqlite_url(std::string_view path) {
  return std::string(kSqliteScheme) + std::string(path);
}

std::string sqlite_path(std::string_view url) {
  if (!url.starts_with(kSqliteScheme))
    throw InvalidArgument("Only sqlite:/// addresses are supported: " + std::string(url));
  return std::string(url.substr(kSqliteScheme.size()));
}

std::int64_t Connection::last_insert_rowid() const { return sqlite3_last_insert_rowid(db_.get()); }
bool Connection::in_transaction() const { return db_ && !sqlite3_get_autocommit(db_.get()); }

void Statement::check(int rc) const {
  if (rc != SQLITE_OK) throw_error(db_, rc, "bind");
}

void Statement::bind_null(int index) { check(sqlite3_bind_null(stmt_.get(), index)); }
void Statement::bind_int64(int index, std::int64_t value) {
  check(sqlite3_bind_int64(stmt_.get(), index, value));
}
void Statement::bind_text(int index, std::string_view value) {
  check(sqlite3_bind_text64(stmt_.get(), index, value.data(), value.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8));
}
void Statement::bind_blob(int index, ByteView value) {
  // A zero-length blob must not bind as NULL: give SQLite a valid pointer.
  static const std::uint8_t empty = 0;
  check(sqlite3_bind_blob64(stmt_.get(), index, value.empty() ? &empty : value.data(), value.size(),
                            SQLITE_TRANSIENT));
}

int Statement::parameter_index(const std::string& name) const {
  return sqlite3_bind_parameter_index(stmt_.get(), name.c_str());
}
void Statement::bind_double(int index, double value) {
  check(sqlite3_bind_double(stmt_.get(), index, value));
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_.get());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_.get());
  throw_error(db_, rc, "step");
}

void Statement::reset() {
  sqlite3_reset(stmt_.get());
  sqlite3_clear_bindings(stmt_.get());
}

bool Statement::read_only() const { return sqlite3_stmt_readonly(stmt_.get()) != 0; }

int Statement::column_count() const { return sqlite3_column_count(stmt_.get()); }
ColumnKind Statement::column_kind(int index) const {
  return static_cast<ColumnKind>(sqlite3_column_type(stmt_.get(), index));
}
std::int64_t Statement::column_int64(int index) const {
  return sqlite3_column_int64(stmt_.get(), index);
}
double Statement::column_double(int index) const {
  return sqlite3_column_double(stmt_.get(), index);
}
std::string_view Statement::column_bytes(int index) const {
  const void* p = sqlite3_column_blob(stmt_.get(), index);
  int n = sqlite3_column_bytes(stmt_.get(), index);
  if (!p || n <= 0) return {};
  return {static_cast<const char*>(p), static_cast<std::size_t>(n)};
}
}  // namespace store
}  // namespace velna
