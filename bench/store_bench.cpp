// The local database's encrypted rows through SQLite directly: 10 000
// containers, each with one access row, inserted in one transaction with
// every encrypted column through the column cipher, then read back with a
// join and every column decrypted, each timed on its own. Rows per second
// count containers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "velna/store/cipher.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"

namespace {

using namespace velna;
using namespace velna::store;

constexpr int kRows = 10000;

std::string hex32(std::uint64_t hi, std::uint64_t lo) {
  char buf[33];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(hi),
                static_cast<unsigned long long>(lo));
  return buf;
}

std::string temp_db() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "velna-store-bench-XXXXXX").string();
  int fd = mkstemp(tmpl.data());
  close(fd);
  return tmpl;
}

void create(Connection& db) {
  for (const auto& t : local_tables()) {
    db.exec(t.create_sql());
    for (const auto& ix : t.index_sql()) db.exec(ix);
  }
}

void insert_rows(Connection& db, ColumnCipher& cipher) {
  const Table& containers = *find_table("containers");
  const Table& access = *find_table("container_accesses");
  std::string when = "2024-05-06T07:08:09.123456+00:00";
  std::string user = hex32(7, 7);
  db.exec("BEGIN");
  Statement c = db.prepare(containers.insert_sql());
  Statement a = db.prepare(access.insert_sql());
  for (int i = 0; i < kRows; ++i) {
    std::string id = hex32(1, static_cast<std::uint64_t>(i));
    Cell crow[] = {Cell::of(id),
                   Cell::of(std::string("file")),
                   Cell::of(std::int64_t{i}),
                   Cell::of(when),
                   Cell::of(user),
                   Cell::of(when),
                   Cell::of(user),
                   Cell::of(std::string("a/b")),
                   Cell::of(when),
                   Cell::of(std::string("all"))};
    c.reset();
    bind_row(c, 1, containers, crow, cipher);
    c.step();
    Cell arow[] = {Cell::of(user),
                   Cell::of(id),
                   Cell::of(when),
                   Cell::of(user),
                   Cell::of(when),
                   Cell::of(user),
                   Cell::of(std::int64_t{255}),
                   Cell::null(),
                   Cell::of(std::string("00ff00ff"))};
    a.reset();
    bind_row(a, 1, access, arow, cipher);
    a.step();
  }
  db.exec("COMMIT");
}

std::size_t read_rows(Connection& db, ColumnCipher& cipher) {
  const Table& containers = *find_table("containers");
  const Table& access = *find_table("container_accesses");
  Statement s = db.prepare(
      "SELECT " + containers.columns_sql("c") + ", " + access.columns_sql("a") +
      " FROM containers AS c LEFT OUTER JOIN container_accesses AS a ON c.id = a.container_id");
  std::size_t n = 0, bytes = 0;
  int width = static_cast<int>(containers.columns.size());
  while (s.step()) {
    for (int i = 0; i < width; ++i)
      bytes += read_cell(s, i, containers.columns[i], cipher).text.size();
    for (int i = 0; i < static_cast<int>(access.columns.size()); ++i)
      bytes += read_cell(s, width + i, access.columns[i], cipher).text.size();
    ++n;
  }
  benchmark::DoNotOptimize(bytes);
  return n;
}

// Database is one new database file with the catalogue's tables.
struct Database {
  std::string path = temp_db();
  Connection db = Connection::open(path, true);
  Database() { create(db); }
  ~Database() {
    db.close();
    std::filesystem::remove(path);
  }
};

void BM_StoreInsert(benchmark::State& state) {
  Bytes key(32, 0x42);
  for (auto _ : state) {
    state.PauseTiming();
    {
      Database d;
      ColumnCipher cipher(key);
      state.ResumeTiming();
      insert_rows(d.db, cipher);
      state.PauseTiming();
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRows);
}
BENCHMARK(BM_StoreInsert)->Unit(benchmark::kMillisecond);

void BM_StoreRead(benchmark::State& state) {
  Bytes key(32, 0x42);
  Database d;
  ColumnCipher cipher(key);
  insert_rows(d.db, cipher);
  for (auto _ : state)
    if (read_rows(d.db, cipher) != kRows) state.SkipWithError("rows lost");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kRows);
}
BENCHMARK(BM_StoreRead)->Unit(benchmark::kMillisecond);

}  // namespace
