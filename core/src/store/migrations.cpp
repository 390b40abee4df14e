#include "velna/store/migrations.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "velna/store/schema.h"

namespace velna::store {
namespace {

std::string trim(std::string s) {
  auto not_space = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), not_space));
  s.erase(std::find_if(s.rbegin(), s.rend(), not_space).base(), s.end());
  return s;
}

bool header_value(const std::string& line, std::string_view key, std::string& out) {
  std::string prefix = "-- " + std::string(key) + ":";
  if (line.rfind(prefix, 0) != 0) return false;
  out = trim(line.substr(prefix.size()));
  return true;
}

Revision read_script(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw InvalidArgument("Cannot read migration script " + file.string());
  std::stringstream all;
  all << in.rdbuf();
  Revision r;
  r.file = file.string();
  r.sql = all.str();
  bool has_id = false, has_down = false;
  std::istringstream lines(r.sql);
  std::string line;
  while (std::getline(lines, line) && line.rfind("--", 0) == 0) {
    has_id = has_id || header_value(line, "revision", r.id);
    has_down = has_down || header_value(line, "down_revision", r.down);
  }
  if (!has_id || r.id.empty() || !has_down)
    throw InvalidArgument("Migration script " + r.file + " names no revision and down_revision.");
  if (r.id.size() > 32) throw InvalidArgument("Revision identifier too long in " + r.file);
  if (r.down == "None") r.down.clear();
  return r;
}

}  // namespace

std::vector<Revision> load_revisions(const std::string& folder) {
  std::vector<Revision> scripts;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file() && entry.path().extension() == ".sql")
      scripts.push_back(read_script(entry.path()));
  std::map<std::string, const Revision*> by_down;
  std::map<std::string, int> ids;
  for (const auto& r : scripts) {
    if (ids[r.id]++) throw InvalidArgument("Revision " + r.id + " appears more than once.");
    if (!by_down.emplace(r.down, &r).second)
      throw InvalidArgument("Revisions branch after " +
                            (r.down.empty() ? std::string("the base") : r.down) + ".");
  }
  std::vector<Revision> chain;
  std::string at;
  for (auto it = by_down.find(at); it != by_down.end(); it = by_down.find(at)) {
    chain.push_back(*it->second);
    at = it->second->id;
  }
  if (chain.size() != scripts.size())
    throw InvalidArgument("Migration scripts do not form one chain.");
  return chain;
}

std::string current_version(Connection& db) {
  if (!db.has_table("alembic_version")) return "";
  Statement q = db.prepare("select version_num from alembic_version");
  if (!q.step()) return "";
  return std::string(q.column_bytes(0));
}

std::string upgrade(const std::string& db_path, const std::string& folder) {
  std::vector<Revision> chain = load_revisions(folder);
  Connection db = Connection::open(db_path, false);
  std::string current = current_version(db);
  std::size_t next = 0;
  if (!current.empty()) {
    auto it = std::find_if(chain.begin(), chain.end(),
                           [&](const Revision& r) { return r.id == current; });
    if (it == chain.end())
      throw InvalidArgument("Can't locate revision identified by '" + current + "'");
    next = static_cast<std::size_t>(it - chain.begin()) + 1;
  }
  if (next < chain.size() && !db.has_table("alembic_version")) db.exec(version_table_sql());
  for (; next < chain.size(); ++next) {
    const Revision& r = chain[next];
    db.exec("BEGIN");
    try {
      db.exec(r.sql);
      Statement set =
          db.prepare(current.empty() ? "INSERT INTO alembic_version (version_num) VALUES (?)"
                                     : "UPDATE alembic_version SET version_num=? WHERE "
                                       "alembic_version.version_num = ?");
      set.bind_text(1, r.id);
      if (!current.empty()) set.bind_text(2, current);
      set.step();
      db.exec("COMMIT");
    } catch (...) {
      if (db.in_transaction()) db.exec("ROLLBACK");
      throw;
    }
    current = r.id;
  }
  return current;
}

}  // namespace velna::store
