#include "velna/store/rows.h"

#include "velna/error.h"

namespace velna::store {

void check_storable(const Table& table, const Column& column, std::string_view text) {
  if (column.encrypted && !keeps_text(text))
    throw InvalidArgument("Column " + std::string(table.name) + "." + std::string(column.name) +
                          ": " + std::string(kTrailingPadMessage));
}

void check_wide_integer(const Table& table, const Column& column) {
  if (!column.encrypted)
    throw InvalidArgument("Column " + std::string(table.name) + "." + std::string(column.name) +
                          " takes 64-bit integers.");
}

void bind_cell(Statement& stmt, int index, const Column& column, const Cell& cell,
               ColumnCipher& cipher) {
  switch (cell.kind) {
    case Cell::Kind::Null:
      stmt.bind_null(index);
      return;
    case Cell::Kind::Integer:
      if (!column.encrypted) {
        stmt.bind_int64(index, cell.integer);
        return;
      }
      bind_cell(stmt, index, column, Cell::of(std::to_string(cell.integer)), cipher);
      return;
    case Cell::Kind::Text:
      if (!column.encrypted) {
        stmt.bind_text(index, cell.text);
        return;
      }
      stmt.bind_blob(index, as_bytes(cipher.encrypt(cell.text)));
      return;
  }
}

Cell read_cell(const Statement& stmt, int index, const Column& column, ColumnCipher& cipher) {
  ColumnKind kind = stmt.column_kind(index);
  if (kind == ColumnKind::Null) return Cell::null();
  if (!column.encrypted) {
    if (kind == ColumnKind::Integer) return Cell::of(stmt.column_int64(index));
    return Cell::of(std::string(stmt.column_bytes(index)));
  }
  return Cell::of(cipher.decrypt(stmt.column_bytes(index)));
}

void bind_row(Statement& stmt, int first, const Table& table, std::span<const Cell> cells,
              ColumnCipher& cipher) {
  for (std::size_t i = 0; i < table.columns.size() && i < cells.size(); ++i)
    bind_cell(stmt, first + static_cast<int>(i), table.columns[i], cells[i], cipher);
}

}  // namespace velna::store
