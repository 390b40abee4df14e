// Rows on their way into and out of the local database: each cell is the
// value's text (or a plain integer, or nothing), and the encrypted columns
// pass through the column cipher.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "velna/store/cipher.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"

namespace velna::store {

struct Cell {
  enum class Kind { Null, Integer, Text };
  Kind kind = Kind::Null;
  std::int64_t integer = 0;
  std::string text;

  static Cell null() { return {}; }
  static Cell of(std::int64_t v) { return {Kind::Integer, v, {}}; }
  static Cell of(std::string t) { return {Kind::Text, 0, std::move(t)}; }
};

// check_storable refuses text that the encrypted |column| of |table| could
// not give back (InvalidArgument "Column <table>.<column>: ..."); plain
// columns keep any text.
void check_storable(const Table& table, const Column& column, std::string_view text);
// check_wide_integer: an integer beyond 64 bits is kept as its decimal
// text, which only an encrypted column holds; a plain |column| refuses it
// (InvalidArgument "Column <table>.<column> takes 64-bit integers.").
void check_wide_integer(const Table& table, const Column& column);

// bind_cell binds |cell| for |column| at |index|: text of an encrypted column
// as the Base64 bytes of its encryption (a BLOB), a plain column as it is.
// Text that ends in "*" is refused for encrypted columns (InvalidArgument).
void bind_cell(Statement& stmt, int index, const Column& column, const Cell& cell,
               ColumnCipher& cipher);

// read_cell reads column |index| of the current row for |column|: an
// encrypted column is decrypted to its value text.
Cell read_cell(const Statement& stmt, int index, const Column& column, ColumnCipher& cipher);

// bind_row binds every column of |table| from |cells| (one per column) at
// placeholders first, first + 1, ...
void bind_row(Statement& stmt, int first, const Table& table, std::span<const Cell> cells,
              ColumnCipher& cipher);

}  // namespace velna::store
