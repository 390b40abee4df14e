#include "velna/store/schema.h"

#include <charconv>

namespace velna::store {

std::string quote_name(std::string_view name) {
  if (name == "index") return "\"index\"";
  return std::string(name);
}

int Table::column_index(std::string_view n) const {
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].name == n) return static_cast<int>(i);
  return -1;
}

std::vector<int> Table::primary_key() const {
  std::vector<int> pk;
  for (std::size_t i = 0; i < columns.size(); ++i)
    if (columns[i].primary_key) pk.push_back(static_cast<int>(i));
  return pk;
}

int Table::autoincrement() const {
  auto pk = primary_key();
  if (pk.size() == 1 && !columns[pk[0]].encrypted && columns[pk[0]].type == ValueType::Integer)
    return pk[0];
  return -1;
}

namespace {

std::string_view plain_sql_type(ValueType t) {
  switch (t) {
    case ValueType::Integer:
      return "INTEGER";
    case ValueType::BigInteger:
      return "BIGINT";
    case ValueType::Boolean:
      return "BOOLEAN";
    case ValueType::Json:
      return "JSON";
    case ValueType::Guid:
      return "CHAR(32)";
    case ValueType::Binary:
    case ValueType::DateTime:
      return "CHAR";
    case ValueType::String:
      return "VARCHAR";
  }
  return "BLOB";
}

std::string join_names(const std::vector<std::string_view>& names) {
  std::string out;
  for (auto n : names) {
    if (!out.empty()) out += ", ";
    out += quote_name(n);
  }
  return out;
}

}  // namespace

std::string Table::create_sql() const {
  std::string sql = "CREATE TABLE ";
  sql += name;
  sql += " (";
  bool first = true;
  auto next = [&] {
    sql += first ? "\n\t" : ", \n\t";
    first = false;
  };
  for (const auto& c : columns) {
    next();
    sql += quote_name(c.name);
    sql += ' ';
    sql += c.encrypted ? std::string_view("BLOB") : plain_sql_type(c.type);
    if (!c.nullable) sql += " NOT NULL";
  }
  std::vector<std::string_view> pk;
  for (int i : primary_key()) pk.push_back(columns[i].name);
  if (!pk.empty()) {
    next();
    sql += "PRIMARY KEY (" + join_names(pk) + ")";
  }
  if (!unique.empty()) {
    next();
    sql += "UNIQUE (" + join_names(unique) + ")";
  }
  if (foreign_key) {
    next();
    sql += "FOREIGN KEY(" + quote_name(foreign_key->column) + ") REFERENCES ";
    sql += foreign_key->target_table;
    sql += " (" + quote_name(foreign_key->target_column) + ")";
    if (!foreign_key->on_delete.empty()) sql += " ON DELETE " + std::string(foreign_key->on_delete);
    if (!foreign_key->on_update.empty()) sql += " ON UPDATE " + std::string(foreign_key->on_update);
  }
  sql += "\n)";
  return sql;
}

std::vector<std::string> Table::index_sql() const {
  std::vector<std::string> out;
  for (const auto& c : columns)
    if (c.indexed)
      out.push_back("CREATE INDEX ix_" + std::string(name) + "_" + std::string(c.name) + " ON " +
                    std::string(name) + " (" + quote_name(c.name) + ")");
  return out;
}

std::string Table::columns_sql(std::string_view alias) const {
  std::string out;
  for (const auto& c : columns) {
    if (!out.empty()) out += ", ";
    if (!alias.empty()) {
      out += alias;
      out += '.';
    }
    out += quote_name(c.name);
  }
  return out;
}

std::string Table::insert_sql() const {
  std::string sql = "INSERT INTO " + std::string(name) + " (" + columns_sql() + ") VALUES (";
  for (std::size_t i = 0; i < columns.size(); ++i) sql += i ? ", ?" : "?";
  return sql + ")";
}

namespace {
std::string pk_where(const Table& t) {
  std::string w;
  for (int i : t.primary_key()) {
    w += w.empty() ? " WHERE " : " AND ";
    w += quote_name(t.columns[i].name) + " = ?";
  }
  return w;
}
}  // namespace

std::string Table::update_sql() const {
  std::string sql = "UPDATE " + std::string(name) + " SET ";
  for (std::size_t i = 0; i < columns.size(); ++i) {
    if (i) sql += ", ";
    sql += quote_name(columns[i].name) + " = ?";
  }
  return sql + pk_where(*this);
}

std::string Table::delete_sql() const {
  return "DELETE FROM " + std::string(name) + pk_where(*this);
}

const std::vector<Table>& local_tables() {
  using V = ValueType;
  auto req = [](std::string_view n, V t, bool pk = false) {
    return Column{n, t, true, false, pk, false};
  };
  auto opt = [](std::string_view n, V t) { return Column{n, t, true, true, false, false}; };
  static const std::vector<Table> tables = {
      {"users", {req("id", V::String, true)}, {}, std::nullopt},
      {"keys",
       {Column{"id", V::Integer, false, false, true, false},
        Column{"user_id", V::Guid, true, false, false, true},
        Column{"active", V::Boolean, true, false, false, false, true}, req("key_type", V::String),
        req("pub_key", V::Binary), req("index", V::Integer)},
       {"user_id", "key_type", "index"},
       std::nullopt},
      {"containers",
       {req("id", V::Guid, true), opt("type", V::String), req("length", V::Integer),
        opt("created_at", V::DateTime), opt("created_by", V::Guid), opt("modified_at", V::DateTime),
        opt("modified_by", V::Guid), opt("zov_location", V::String), req("synced_at", V::DateTime),
        req("portion", V::String)},
       {},
       std::nullopt},
      {"container_accesses",
       {req("user_id", V::Guid, true), req("container_id", V::Guid, true),
        opt("created_at", V::DateTime), opt("created_by", V::Guid), opt("modified_at", V::DateTime),
        opt("modified_by", V::Guid), req("permissions", V::Integer), opt("expires_at", V::DateTime),
        req("key_blob", V::Binary)},
       {},
       ForeignKey{"container_id", "containers", "id", "CASCADE", "CASCADE"}},
      {"events",
       {req("id", V::BigInteger, true), req("action", V::String), opt("changes", V::Json),
        opt("client_app_name", V::String), req("container_expired_at", V::DateTime),
        opt("container_id", V::Guid), req("container_modified_at", V::DateTime),
        opt("container_type", V::String), req("date", V::DateTime), opt("related_user_id", V::Guid),
        req("type", V::String)},
       {},
       std::nullopt},
  };
  return tables;
}

const Table* find_table(std::string_view n) {
  for (const auto& t : local_tables())
    if (t.name == n) return &t;
  return nullptr;
}

bool create_missing(Connection& db, const Table& table) {
  if (db.has_table(table.name)) return false;
  db.exec("BEGIN");
  try {
    db.exec(table.create_sql());
    for (const auto& ix : table.index_sql()) db.exec(ix);
    db.exec("COMMIT");
  } catch (...) {
    if (db.in_transaction()) db.exec("ROLLBACK");
    throw;
  }
  return true;
}

std::string version_table_sql() {
  return "CREATE TABLE alembic_version (\n\tversion_num VARCHAR(32) NOT NULL, \n\tCONSTRAINT "
         "alembic_version_pkc "
         "PRIMARY KEY (version_num)\n)";
}

std::optional<std::int64_t> parse_integer(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  for (char c : digits)
    if (c < '0' || c > '9') return std::nullopt;
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return v;
}

std::optional<std::int64_t> parse_stored_integer(std::string_view text) {
  if (auto n = parse_integer(text)) return n;
  if (text == "True") return 1;
  if (text == "False") return 0;
  return std::nullopt;
}

std::string_view boolean_text(bool value) { return value ? "true" : "false"; }
bool parse_boolean(std::string_view text) { return text == boolean_text(true); }

std::optional<std::vector<std::uint8_t>> parse_hex(std::string_view text) {
  if (text.size() % 2) return std::nullopt;
  std::vector<std::uint8_t> out(text.size() / 2);
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < out.size(); ++i) {
    int hi = nib(text[2 * i]), lo = nib(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return out;
}

namespace {

void put_digits(char* out, std::int64_t v, int width) {
  for (int i = width - 1; i >= 0; --i, v /= 10) out[i] = static_cast<char>('0' + v % 10);
}

bool get_digits(std::string_view text, std::size_t at, int width, int& out) {
  out = 0;
  for (int i = 0; i < width; ++i) {
    char c = text[at + i];
    if (c < '0' || c > '9') return false;
    out = out * 10 + (c - '0');
  }
  return true;
}

}  // namespace

std::string utc_text(const time::DateTime& t) {
  char buf[] = "0000-00-00T00:00:00.000000+00:00";
  put_digits(buf, t.date.year, 4);
  put_digits(buf + 5, t.date.month, 2);
  put_digits(buf + 8, t.date.day, 2);
  put_digits(buf + 11, t.hour, 2);
  put_digits(buf + 14, t.minute, 2);
  put_digits(buf + 17, t.second, 2);
  if (t.microsecond == 0) return std::string(buf, 19) + "+00:00";
  put_digits(buf + 20, t.microsecond, 6);
  return std::string(buf, 32);
}

std::optional<time::DateTime> parse_utc_text(std::string_view text) {
  const bool fraction = text.size() == 32;
  if (!fraction && text.size() != 25) return std::nullopt;
  const std::size_t zone = fraction ? 26 : 19;
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      (fraction && text[19] != '.') || text.substr(zone) != "+00:00")
    return std::nullopt;
  int year = 0;
  time::DateTime t{};
  if (!get_digits(text, 0, 4, year) || !get_digits(text, 5, 2, t.date.month) ||
      !get_digits(text, 8, 2, t.date.day) || !get_digits(text, 11, 2, t.hour) ||
      !get_digits(text, 14, 2, t.minute) || !get_digits(text, 17, 2, t.second) ||
      (fraction && !get_digits(text, 20, 6, t.microsecond)))
    return std::nullopt;
  t.date.year = year;
  auto days_in_month = [&] {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return t.date.month == 2 && time::is_leap(year) ? 29 : kDays[t.date.month - 1];
  };
  if (year < 1 || t.date.month < 1 || t.date.month > 12 || t.date.day < 1 ||
      t.date.day > days_in_month() || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      (fraction && t.microsecond == 0))
    return std::nullopt;
  return t;
}

}  // namespace velna::store
