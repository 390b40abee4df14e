// How the tables of the local database hang together, and the rules the
// mapping layer follows for it: the order in which a flush writes and
// deletes rows, the foreign key a child row takes from its parent, the child
// rows a parent's deletion takes along, and the statements that read rows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "velna/store/rows.h"
#include "velna/store/schema.h"

namespace velna::store {

// Link is the foreign key of |child| to |parent|, by column positions.
struct Link {
  const Table* parent = nullptr;
  const Table* child = nullptr;
  int parent_column = -1;       // the column of |parent| the foreign key names
  int child_column = -1;        // the foreign-key column of |child|
  bool cascade_delete = false;  // deleting the parent deletes its child rows
};

// parent_link is the foreign key of |child| into a catalogue table;
// child_link the first catalogue table whose foreign key names |parent|.
std::optional<Link> parent_link(const Table& child);
std::optional<Link> child_link(const Table& parent);

// insert_order lists the catalogue's tables parents first, in catalogue
// order otherwise: the order in which a flush inserts rows, so that every
// foreign key finds its row. delete_order is the reverse, children first.
std::vector<const Table*> insert_order();
std::vector<const Table*> delete_order();

// deleted_with: the child row whose foreign-key cell is |child_key| goes
// with the parent row whose referenced cell is |parent_value|, when the
// parent row is deleted (the foreign key cascades and the cells are equal
// and not null).
bool deleted_with(const Link& link, const Cell& child_key, const Cell& parent_value);

// key_cell is how the mapping layer tells rows apart by one primary-key
// cell of |column|: as it reads back, so an integer of an encrypted column
// counts as its value text whichever way the row came.
Cell key_cell(const Column& column, const Cell& cell);

// Filter is one equality condition of a query: column |column| equals a
// bound value, or is NULL when |null|.
struct Filter {
  int column;
  bool null;
};

// select_sql reads every column of |table| (qualified by the table's name)
// where |filters| hold, at most |limit| rows (a negative |limit|: all). The
// bound values follow the filters that are not |null|, in order.
std::string select_sql(const Table& table, std::span<const Filter> filters, std::int64_t limit);
// joined_select_sql reads the rows of |parent_select| (a select_sql of
// link.parent) each followed by the columns of its child rows (NULL when it
// has none), one result row per child row.
std::string joined_select_sql(const Link& link, std::string_view parent_select);
// count_sql counts the rows of |table| where |filters| hold.
std::string count_sql(const Table& table, std::span<const Filter> filters);

}  // namespace velna::store
