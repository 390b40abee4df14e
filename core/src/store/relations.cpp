#include "velna/store/relations.h"

#include <algorithm>

namespace velna::store {
namespace {

Link link_of(const Table& parent, const Table& child) {
  const ForeignKey& fk = *child.foreign_key;
  return {&parent, &child, parent.column_index(fk.target_column), child.column_index(fk.column),
          fk.on_delete == "CASCADE"};
}

std::string where_sql(const Table& t, std::span<const Filter> filters) {
  std::string w;
  for (const Filter& f : filters) {
    w += w.empty() ? " WHERE " : " AND ";
    w += std::string(t.name) + "." + quote_name(t.columns[f.column].name);
    w += f.null ? " IS NULL" : " = ?";
  }
  return w;
}

}  // namespace

std::optional<Link> parent_link(const Table& child) {
  if (!child.foreign_key) return std::nullopt;
  const Table* parent = find_table(child.foreign_key->target_table);
  if (!parent) return std::nullopt;
  return link_of(*parent, child);
}

std::optional<Link> child_link(const Table& parent) {
  for (const Table& t : local_tables())
    if (t.foreign_key && t.foreign_key->target_table == parent.name) return link_of(parent, t);
  return std::nullopt;
}

std::vector<const Table*> insert_order() {
  std::vector<const Table*> placed;
  const auto& tables = local_tables();
  auto is_placed = [&](const Table* t) {
    return std::find(placed.begin(), placed.end(), t) != placed.end();
  };
  // Each round places the tables whose parent is placed; a table whose
  // parent is outside the catalogue counts as having none.
  while (placed.size() < tables.size()) {
    std::size_t before = placed.size();
    for (const Table& t : tables) {
      if (is_placed(&t)) continue;
      auto up = parent_link(t);
      if (!up || up->parent == &t || is_placed(up->parent)) placed.push_back(&t);
    }
    if (placed.size() == before) break;  // a cycle: the rest keeps catalogue order
  }
  for (const Table& t : tables)
    if (!is_placed(&t)) placed.push_back(&t);
  return placed;
}

std::vector<const Table*> delete_order() {
  std::vector<const Table*> order = insert_order();
  std::reverse(order.begin(), order.end());
  return order;
}

bool deleted_with(const Link& link, const Cell& child_key, const Cell& parent_value) {
  if (!link.cascade_delete || child_key.kind == Cell::Kind::Null ||
      parent_value.kind == Cell::Kind::Null)
    return false;
  if (child_key.kind == Cell::Kind::Integer && parent_value.kind == Cell::Kind::Integer)
    return child_key.integer == parent_value.integer;
  auto text = [](const Cell& c) {
    return c.kind == Cell::Kind::Integer ? std::to_string(c.integer) : c.text;
  };
  return text(child_key) == text(parent_value);
}

Cell key_cell(const Column& column, const Cell& cell) {
  if (cell.kind == Cell::Kind::Integer && column.encrypted)
    return Cell::of(std::to_string(cell.integer));
  return cell;
}

std::string select_sql(const Table& table, std::span<const Filter> filters, std::int64_t limit) {
  std::string name(table.name);
  std::string sql =
      "SELECT " + table.columns_sql(name) + " FROM " + name + where_sql(table, filters);
  if (limit >= 0) sql += " LIMIT " + std::to_string(limit);
  return sql;
}

std::string joined_select_sql(const Link& link, std::string_view parent_select) {
  std::string alias = std::string(link.child->name) + "_1";
  return "SELECT " + link.parent->columns_sql("anon_1") + ", " + link.child->columns_sql(alias) +
         " FROM (" + std::string(parent_select) + ") AS anon_1 LEFT OUTER JOIN " +
         std::string(link.child->name) + " AS " + alias + " ON anon_1." +
         quote_name(link.parent->columns[link.parent_column].name) + " = " + alias + "." +
         quote_name(link.child->columns[link.child_column].name);
}

std::string count_sql(const Table& table, std::span<const Filter> filters) {
  return "SELECT count(*) FROM " + std::string(table.name) + where_sql(table, filters);
}

}  // namespace velna::store
