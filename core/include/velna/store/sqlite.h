// SQLite 3 connections and prepared statements, each owned by one handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "velna/bytes.h"
#include "velna/error.h"
#include "velna/handles.h"

namespace velna::store {

// DatabaseError: SQLite reported a failure (a Python OperationalError-like
// error); |code| is SQLite's extended result code.
class DatabaseError : public Error {
 public:
  DatabaseError(const std::string& message, int code) : Error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// IntegrityError: a constraint refused a write (NOT NULL, UNIQUE, PRIMARY
// KEY, FOREIGN KEY).
class IntegrityError : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

enum class ColumnKind { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };

class Connection;

// Statement is one prepared statement of a Connection; it must not outlive it.
class Statement {
 public:
  Statement() = default;

  void bind_null(int index);
  void bind_int64(int index, std::int64_t value);
  void bind_text(int index, std::string_view value);
  void bind_blob(int index, ByteView value);
  // parameter_index is the position of the named parameter |name| (":x"), or 0.
  int parameter_index(const std::string& name) const;
  void bind_double(int index, double value);

  // step runs the statement to its next row: true when a row is ready, false
  // when the statement is done. Failures throw DatabaseError/IntegrityError.
  bool step();
  // reset makes the statement ready to run again and clears its bindings.
  void reset();

  int column_count() const;
  ColumnKind column_kind(int index) const;
  std::int64_t column_int64(int index) const;
  double column_double(int index) const;
  // column_bytes views a TEXT or BLOB column; the view lives until the next
  // step, reset or column read of another kind.
  std::string_view column_bytes(int index) const;

  // read_only: running the statement changes nothing in the database file
  // (SQLite's own judgement: a SELECT, and BEGIN or COMMIT, are read-only).
  bool read_only() const;

  bool valid() const { return stmt_ != nullptr; }

 private:
  friend class Connection;
  Statement(sqlite3* db, internal::SqliteStmt stmt) : db_(db), stmt_(std::move(stmt)) {}
  void check(int rc) const;

  sqlite3* db_ = nullptr;
  internal::SqliteStmt stmt_;
};

// Connection is one open database file.
class Connection {
 public:
  // open opens (and creates when missing) the database at |path|. With
  // |foreign_keys| every statement of the connection enforces foreign keys.
  static Connection open(const std::string& path, bool foreign_keys);

  Connection() = default;

  // exec runs one or more statements that return no rows of interest.
  void exec(std::string_view sql);
  Statement prepare(std::string_view sql);

  // has_table: the database file holds a table named |name|.
  bool has_table(std::string_view name);

  std::int64_t last_insert_rowid() const;
  bool in_transaction() const;
  bool is_open() const { return db_ != nullptr; }
  void close() { db_.reset(); }

 private:
  internal::SqliteDb db_;
};

// A database file's address: "sqlite:///" and the file's path (an absolute
// path so begins "sqlite:////"). sqlite_path is the path of |url|;
// InvalidArgument for any other address.
std::string sqlite_url(std::string_view path);
std::string sqlite_path(std::string_view url);

}  // namespace velna::store
