// The catalogue of the local database: its five tables, the DDL that creates
// them and the statements that read and write their rows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velna/store/sqlite.h"
#include "velna/time.h"

namespace velna::store {

// ValueType is what a column holds on the program's side. Encrypted columns
// store the value's text (see value text below) encrypted with ColumnCipher.
enum class ValueType { String, Integer, BigInteger, Boolean, Json, Guid, Binary, DateTime };

struct Column {
  std::string_view name;
  ValueType type;
  bool encrypted = true;
  bool nullable = true;
  bool primary_key = false;
  bool indexed = false;  // a plain (not unique) index "ix_<table>_<column>"
  // written_true: a row written without a value for this Boolean column
  // holds true (a key is active unless it says otherwise).
  bool written_true = false;
};

struct ForeignKey {
  std::string_view column;
  std::string_view target_table;
  std::string_view target_column;
  std::string_view on_delete;
  std::string_view on_update;
};

struct Table {
  std::string_view name;
  std::vector<Column> columns;
  std::vector<std::string_view> unique;  // one UNIQUE constraint over these columns
  std::optional<ForeignKey> foreign_key;

  // column_index is the position of |name|, or -1.
  int column_index(std::string_view name) const;
  // primary_key lists the positions of the primary-key columns in order.
  std::vector<int> primary_key() const;
  // autoincrement: the single plain INTEGER primary key that SQLite assigns
  // when a row gives none (-1 when the table has none).
  int autoincrement() const;

  // create_sql is the CREATE TABLE statement, exactly as the database file
  // keeps it; index_sql the CREATE INDEX statements that go with it.
  std::string create_sql() const;
  std::vector<std::string> index_sql() const;

  // columns_sql: "alias.c1, alias.c2, ..." (no alias when empty).
  std::string columns_sql(std::string_view alias = {}) const;
  // insert_sql: an INSERT of every column, "?" placeholders in column order.
  std::string insert_sql() const;
  // update_sql: SET every column, WHERE the primary key (placeholders: the
  // columns in order, then the old primary-key values).
  std::string update_sql() const;
  // delete_sql: DELETE WHERE the primary key.
  std::string delete_sql() const;
};

// quote_name quotes an identifier that is an SQL keyword ("index"), as the
// database file's DDL does; other names stay bare.
std::string quote_name(std::string_view name);

// local_tables: users, keys, containers, container_accesses, events, in the
// order their classes are declared (parents before children).
const std::vector<Table>& local_tables();
const Table* find_table(std::string_view name);

// create_missing creates |table| and its indexes on |db|, in one
// transaction, unless the file holds the table already; true when it made
// it.
bool create_missing(Connection& db, const Table& table);

// version_table_sql is the DDL of the table of applied migrations.
std::string version_table_sql();

// Value text: what an encrypted column encrypts for a value (an identifier:
// 32 lower-case hex digits of its 16 bytes; an integer: decimal; a boolean:
// "true" / "false").
// parse_integer reads decimal text back (an optional sign, digits only);
// nullopt when the text is no such integer or does not fit 64 bits.
std::optional<std::int64_t> parse_integer(std::string_view text);
// parse_stored_integer reads what an integer column holds: decimal text,
// or the literal "True" or "False" (1 and 0) that booleans were once
// written into such columns as.
std::optional<std::int64_t> parse_stored_integer(std::string_view text);
// A boolean's value text is "true" or "false"; parse_boolean reads "true"
// as true and any other text as false.
std::string_view boolean_text(bool value);
bool parse_boolean(std::string_view text);
// parse_hex reads hex text (either case) into bytes; nullopt when malformed.
std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text);
// utc_text is the value text of a date-time in UTC, as the runtime's
// isoformat() writes it: "YYYY-MM-DDTHH:MM:SS[.ffffff]+00:00", the fraction
// only when the microsecond is not 0, a year of four digits (1..9999).
// parse_utc_text reads exactly that form back, fields in their ranges;
// nullopt for any other text (the caller reads it in general).
std::string utc_text(const time::DateTime& t);
std::optional<time::DateTime> parse_utc_text(std::string_view text);

}  // namespace velna::store
