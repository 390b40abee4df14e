// The local store's rules for the mapping layer: which statements write,
// the order of a flush, the links between tables and the statements that
// read rows, on real SQLite files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "velna/error.h"
#include "velna/store/cipher.h"
#include "velna/store/relations.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"

namespace velna::store {
namespace {

Connection catalogue_db(const test::TempDir& dir) {
  Connection db = Connection::open((dir.path() / "db").string(), true);
  for (const auto& t : local_tables()) db.exec(t.create_sql());
  return db;
}

TEST(Statement, ReadOnlyIsSqlitesJudgement) {
  test::TempDir dir;
  Connection db = catalogue_db(dir);
  struct Case {
    const char* sql;
    bool read_only;
  } cases[] = {
      {"SELECT * FROM users", true},
      {"  select 1", true},
      {"select count(*) from containers", true},
      {"WITH x AS (SELECT 1) SELECT * FROM x", true},
      {"PRAGMA foreign_keys", true},
      {"BEGIN", true},
      {"INSERT INTO users (id) VALUES ('a')", false},
      {"  insert into users (id) values ('a')", false},
      {"REPLACE INTO users (id) VALUES ('a')", false},
      {"UPDATE users SET id = 'b'", false},
      {"DELETE FROM containers", false},
      {"WITH x AS (SELECT 'c') INSERT INTO users SELECT * FROM x", false},
      {"CREATE TABLE t (a)", false},
      {"DROP TABLE users", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(db.prepare(c.sql).read_only(), c.read_only);
  }
}

TEST(Relations, OrderPutsEveryParentBeforeItsChildren) {
  std::vector<const Table*> order = insert_order();
  ASSERT_EQ(order.size(), local_tables().size());
  auto at = [&](std::string_view name) {
    return std::find(order.begin(), order.end(), find_table(name)) - order.begin();
  };
  for (const auto& t : local_tables()) {
    EXPECT_LT(at(t.name), static_cast<std::ptrdiff_t>(order.size())) << t.name;
    if (t.foreign_key) {
      EXPECT_LT(at(t.foreign_key->target_table), at(t.name)) << t.name;
    }
  }
  std::vector<const Table*> reverse = delete_order();
  std::reverse(reverse.begin(), reverse.end());
  EXPECT_EQ(reverse, order);
}

TEST(Relations, LinksNameTheForeignKeyColumns) {
  const Table& containers = *find_table("containers");
  const Table& access = *find_table("container_accesses");
  auto up = parent_link(access);
  ASSERT_TRUE(up);
  EXPECT_EQ(up->parent, &containers);
  EXPECT_EQ(up->child, &access);
  EXPECT_EQ(containers.columns[up->parent_column].name, "id");
  EXPECT_EQ(access.columns[up->child_column].name, "container_id");
  EXPECT_TRUE(up->cascade_delete);
  auto down = child_link(containers);
  ASSERT_TRUE(down);
  EXPECT_EQ(down->child, &access);
  EXPECT_EQ(down->child_column, up->child_column);
  EXPECT_FALSE(parent_link(containers));
  EXPECT_FALSE(child_link(access));
  EXPECT_FALSE(child_link(*find_table("users")));
}

TEST(Relations, ChildRowsGoWithTheirParentOnlyOnAMatchingCascade) {
  Link link = *parent_link(*find_table("container_accesses"));
  Link plain = link;
  plain.cascade_delete = false;
  struct Case {
    Cell child, parent;
    bool cascade, gone;
  } cases[] = {
      {Cell::of(std::string("ab")), Cell::of(std::string("ab")), true, true},
      {Cell::of(std::string("ab")), Cell::of(std::string("ab")), false, false},
      {Cell::of(std::string("ab")), Cell::of(std::string("ac")), true, false},
      {Cell::of(std::int64_t{12}), Cell::of(std::string("12")), true, true},
      {Cell::of(std::int64_t{12}), Cell::of(std::int64_t{12}), true, true},
      {Cell::of(std::int64_t{12}), Cell::of(std::int64_t{13}), true, false},
      {Cell::null(), Cell::null(), true, false},
      {Cell::null(), Cell::of(std::string("")), true, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(deleted_with(c.cascade ? link : plain, c.child, c.parent), c.gone)
        << c.child.text << "/" << c.parent.text << " " << c.cascade;
}

TEST(Relations, KeyCellsAreWhatRowsReadBackAs) {
  const Table& keys = *find_table("keys");
  const Table& events = *find_table("events");
  EXPECT_EQ(key_cell(keys.columns[0], Cell::of(std::int64_t{7})).kind, Cell::Kind::Integer);
  Cell id = key_cell(events.columns[0], Cell::of(std::int64_t{-7}));
  EXPECT_EQ(id.kind, Cell::Kind::Text);
  EXPECT_EQ(id.text, "-7");
  EXPECT_EQ(key_cell(events.columns[0], Cell::of(std::string("12"))).text, "12");
  EXPECT_EQ(key_cell(events.columns[0], Cell::null()).kind, Cell::Kind::Null);

  // An encrypted integer key written as an integer reads back as its text.
  test::TempDir dir;
  Connection db = catalogue_db(dir);
  ColumnCipher cipher(Bytes(32, 1));
  db.exec("CREATE TABLE ids (id BLOB)");
  Statement ins = db.prepare("INSERT INTO ids (id) VALUES (?)");
  bind_cell(ins, 1, events.columns[0], Cell::of(std::int64_t{-7}), cipher);
  ins.step();
  Statement sel = db.prepare("SELECT id FROM ids");
  ASSERT_TRUE(sel.step());
  Cell back = read_cell(sel, 0, events.columns[0], cipher);
  EXPECT_EQ(back.kind, id.kind);
  EXPECT_EQ(back.text, id.text);
}

TEST(Relations, StatementsReadJoinedRowsAndCount) {
  const Table& containers = *find_table("containers");
  const Table& access = *find_table("container_accesses");
  Filter by_id[] = {{0, false}, {1, true}};
  EXPECT_EQ(count_sql(containers, by_id),
            "SELECT count(*) FROM containers WHERE containers.id = ? AND containers.type IS NULL");
  EXPECT_EQ(select_sql(*find_table("keys"), {}, 2),
            "SELECT keys.id, keys.user_id, keys.active, keys.key_type, keys.pub_key, "
            "keys.\"index\" FROM keys LIMIT 2");

  // Two containers, one with two access rows: three joined rows.
  test::TempDir dir;
  Connection db = catalogue_db(dir);
  ColumnCipher cipher(Bytes(32, 7));
  auto container = [&](const std::string& id) {
    std::vector<Cell> row(containers.columns.size());
    row[0] = Cell::of(id);
    row[2] = Cell::of(std::int64_t{1});
    row[8] = Cell::of(std::string("2024-01-02T03:04:05+00:00"));
    row[9] = Cell::of(std::string("all"));
    Statement st = db.prepare(containers.insert_sql());
    bind_row(st, 1, containers, row, cipher);
    st.step();
  };
  auto entry = [&](const std::string& user, const std::string& id) {
    std::vector<Cell> row(access.columns.size());
    row[0] = Cell::of(user);
    row[1] = Cell::of(id);
    row[6] = Cell::of(std::int64_t{3});
    row[8] = Cell::of(std::string("00"));
    Statement st = db.prepare(access.insert_sql());
    bind_row(st, 1, access, row, cipher);
    st.step();
  };
  container("c1");
  container("c2");
  entry("u1", "c1");
  entry("u2", "c1");
  Link link = *child_link(containers);
  Statement all = db.prepare(joined_select_sql(link, select_sql(containers, {}, -1)));
  int width = static_cast<int>(containers.columns.size());
  std::vector<std::string> seen;
  while (all.step()) {
    std::string user = read_cell(all, width, access.columns[0], cipher).text;
    seen.push_back(read_cell(all, 0, containers.columns[0], cipher).text + ":" + user);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"c1:u1", "c1:u2", "c2:"}));

  Filter first[] = {{0, false}};
  Statement one = db.prepare(joined_select_sql(link, select_sql(containers, first, 1)));
  bind_cell(one, 1, containers.columns[0], Cell::of(std::string("c2")), cipher);
  ASSERT_TRUE(one.step());
  EXPECT_EQ(one.column_kind(width), ColumnKind::Null);
  EXPECT_FALSE(one.step());
  Statement n = db.prepare(count_sql(access, {}));
  ASSERT_TRUE(n.step());
  EXPECT_EQ(n.column_int64(0), 2);
}

TEST(Rows, StorableTextNamesTheColumnItIsRefusedFor) {
  const Table& users = *find_table("users");
  const Table& keys = *find_table("keys");
  EXPECT_NO_THROW(check_storable(users, users.columns[0], "a*b"));
  EXPECT_NO_THROW(check_storable(users, users.columns[0], ""));
  EXPECT_NO_THROW(check_storable(keys, keys.columns[0], "1*"));  // a plain column
  try {
    check_storable(users, users.columns[0], "ab*");
    FAIL() << "accepted";
  } catch (const InvalidArgument& e) {
    EXPECT_EQ(std::string(e.what()), "Column users.id: " + std::string(kTrailingPadMessage));
  }
}

}  // namespace
}  // namespace velna::store
