// Reading rows: queries of one table class (a joined relationship loaded in
// the same statement), objects built from rows, and textual statements.
#include "database.h"

#include <unordered_set>

namespace velna {
namespace zov_database {

using namespace pyb::literals;

namespace {

// ResetOnExit leaves a statement reset however its use ends, so that no
// half-read statement keeps the file locked.
struct ResetOnExit {
  store::Statement& st;
  ~ResetOnExit() { st.reset(); }
};

std::vector<store::Filter> filters_of(const Filters& filters) {
  std::vector<store::Filter> out;
  out.reserve(filters.size());
  for (const auto& [col, value] : filters) out.push_back({col, value.is_none()});
  return out;
}

}  // namespace

// load builds the object of a row read at |first|, or returns the object
// the session already holds for it; an expired one is filled from the row
// first, except for the attributes set on it since it expired. |fill| is
// set when the object's relationship collection is new and empty, to be
// filled from the rows joined to it.
pyb::object Session::load(ClassInfo& ci, store::Statement& st, int first,
                          store::ColumnCipher& cipher, bool& fill) {
  std::vector<Cell> cells;
  cells.reserve(ci.names.size());
  for (std::size_t i = 0; i < ci.names.size(); ++i)
    cells.push_back(
        store::read_cell(st, first + static_cast<int>(i), ci.table->columns[i], cipher));
  pyb::tuple key = row_key(ci, cells);
  PyObject* existing = PyDict_GetItem(identity.ptr(), key.ptr());
  pyb::object o;
  fill = false;
  if (existing) {
    o = pyb::list(vp::borrow(existing))[0];
    if (!is_expired(o)) return o;
  } else {
    o = new_instance(ci);
  }
  std::vector<pyb::object> values;
  values.reserve(ci.names.size());
  for (std::size_t i = 0; i < ci.names.size(); ++i)
    values.push_back(from_cell(ci.table->columns[i], cells[i]));
  pyb::object d = dict_of(o);
  for (std::size_t i = 0; i < ci.names.size(); ++i)
    if (!PyDict_SetDefault(d.ptr(), ci.names[i].ptr(), values[i].ptr()))
      throw pyb::error_already_set();
  if (!ci.rel_attr.empty()) {
    const pyb::object& rel = ci.rel_name;
    fill = !loaded(d, rel);
    if (fill) d[rel] = pyb::dict();
  }
  if (!ci.backref_attr.empty()) {
    const pyb::object& backref = ci.backref_name;
    if (!loaded(d, backref)) d[backref] = pyb::none();
  }
  if (existing) unexpire(o, id_of(o));
  remember(ci, o, key, cells, values);
  return o;
}

bool Session::row_is_null(store::Statement& st, int first, const ClassInfo& ci) {
  for (int i : ci.pk)
    if (st.column_kind(first + i) != store::ColumnKind::Null) return false;
  return true;
}

void Session::bind_filters(store::Statement& st, const ClassInfo& ci, const Filters& filters,
                           store::ColumnCipher& cipher) {
  int at = 1;
  for (const auto& [col, value] : filters) {
    if (value.is_none()) continue;
    const auto& c = ci.table->columns[col];
    store::bind_cell(st, at++, c, to_cell(*ci.table, c, value), cipher);
  }
}

// select runs the query of |cls| with |filters|, at most |limit| rows
// (-1: all), loading a joined relationship in the same statement. Pending
// changes are written first unless |autoflush| is false (a load of
// expired objects).
pyb::list Session::select(pyb::handle cls, const Filters& filters, std::int64_t limit,
                          bool autoflush) {
  if (autoflush && (pending.size() || deleted.size())) flush();
  ClassInfo& ci = info_of(cls);
  store::ColumnCipher& cipher = engine->column_cipher();
  std::vector<store::Filter> where = filters_of(filters);
  std::string sql = store::select_sql(*ci.table, where, limit);
  ClassInfo* child = child_of(ci);
  auto link = child ? store::parent_link(*child->table) : std::nullopt;
  bool joined = link && link->parent == ci.table && ci.rel.lazy == "joined";
  if (joined) sql = store::joined_select_sql(*link, sql);
  store::Statement& st = statement(sql, false);
  ResetOnExit reset_after{st};
  st.reset();
  bind_filters(st, ci, filters, cipher);
  // Every object these rows make stays referenced: no collection meanwhile.
  vp::compat::CollectionPause pause;
  pyb::list out;  // holds each parent, so that its address names it
  std::unordered_set<PyObject*> seen;
  std::unordered_set<PyObject*> filling;  // parents whose collection these rows fill
  int ncols = static_cast<int>(ci.names.size());
  while (st.step()) {
    bool fill = false;
    pyb::object parent = load(ci, st, 0, cipher, fill);
    if (seen.insert(parent.ptr()).second) {
      out.append(parent);
      if (fill) filling.insert(parent.ptr());
    }
    if (!joined || !filling.count(parent.ptr()) || row_is_null(st, ncols, *child)) continue;
    bool child_fill = false;
    pyb::object c = load(*child, st, ncols, cipher, child_fill);
    set_attr(c, ci.rel_backref, parent);
    pyb::object coll = get_attr(parent, ci.rel_name);
    pyb::object k = ci.rel.keyed_by.is_none() ? pyb::object(pyb::int_(pyb::len(coll)))
                                              : get_attr(c, ci.rel.keyed_by);
    coll[k] = c;
  }
  st.reset();
  if (ClassInfo* parent_ci = parent_of(ci)) attach_parents(ci, *parent_ci, out, autoflush);
  return out;
}

// attach_parents sets the back reference of child rows loaded on their own.
void Session::attach_parents(const ClassInfo& ci, ClassInfo& parent_ci, pyb::list rows,
                             bool autoflush) {
  store::Link link = *store::parent_link(*ci.table);
  const pyb::object& fk_name = ci.names[link.child_column];
  const pyb::object& backref = ci.backref_name;
  int target = link.parent_column;
  for (auto c : rows) {
    PyObject* parent = loaded(dict_of(c), backref);
    if (parent && parent != Py_None) continue;
    pyb::object fk_value = get_attr(c, fk_name);
    if (fk_value.is_none()) continue;
    std::vector<Cell> pk{to_cell(*parent_ci.table, parent_ci.table->columns[target], fk_value)};
    PyObject* known = PyDict_GetItem(identity.ptr(), identity_key(parent_ci, pk).ptr());
    if (known) {
      set_attr(c, backref, pyb::list(vp::borrow(known))[0]);
      continue;
    }
    Filters f{{target, fk_value}};
    pyb::list parents = select(parent_ci.cls, f, 1, autoflush);
    if (parents.size()) set_attr(c, backref, parents[0]);
  }
}

std::int64_t Session::count(pyb::handle cls, const Filters& filters) {
  if (pending.size() || deleted.size()) flush();
  ClassInfo& ci = info_of(cls);
  store::ColumnCipher& cipher = engine->column_cipher();
  store::Statement& st = statement(store::count_sql(*ci.table, filters_of(filters)), false);
  ResetOnExit reset_after{st};
  st.reset();
  bind_filters(st, ci, filters, cipher);
  st.step();
  std::int64_t n = st.column_int64(0);
  st.reset();
  return n;
}

pyb::object Session::get(pyb::handle cls, pyb::handle ident) {
  ClassInfo& ci = info_of(cls);
  pyb::tuple values = pyb::isinstance<pyb::tuple>(ident) ? pyb::tuple(vp::borrow(ident.ptr()))
                                                         : pyb::make_tuple(ident);
  if (values.size() != ci.pk.size())
    raise(names.invalid_request,
          "Incorrect number of values in identifier formed for argument 'ident'; primary "
          "key value requires " +
              std::to_string(ci.pk.size()) + " values");
  std::vector<Cell> pk;
  Filters filters;
  for (std::size_t i = 0; i < ci.pk.size(); ++i) {
    const auto& col = ci.table->columns[ci.pk[i]];
    pk.push_back(to_cell(*ci.table, col, values[i]));
    filters.emplace_back(ci.pk[i], values[i]);
  }
  pyb::tuple key = identity_key(ci, pk);
  PyObject* existing = PyDict_GetItem(identity.ptr(), key.ptr());
  if (existing) {
    pyb::object o = pyb::list(vp::borrow(existing))[0];
    if (!is_expired(o)) return o;
    // The same object, loaded again; it leaves the session when its row
    // is gone.
    if (select(cls, filters, 1, false).size()) return o;
    drop(key, id_of(o));
    return pyb::none();
  }
  pyb::list rows = select(cls, filters, 1);
  return rows.size() ? pyb::object(rows[0]) : pyb::object(pyb::none());
}

Result Session::execute(const TextClause& clause, pyb::object params) {
  if (pending.size() || deleted.size()) flush();
  store::Connection& c = connection(false);
  store::Statement st = c.prepare(clause.text);
  // What changes rows runs in the session's transaction.
  if (!st.read_only() && !c.in_transaction()) c.exec("BEGIN");
  if (!params.is_none()) {
    for (auto item : params.cast<pyb::dict>()) {
      int at = st.parameter_index(":" + text_of(item.first));
      if (!at) continue;
      pyb::handle v = item.second;
      if (v.is_none())
        st.bind_null(at);
      else if (PyLong_Check(v.ptr()))
        st.bind_int64(at, v.cast<std::int64_t>());
      else if (PyFloat_Check(v.ptr()))
        st.bind_double(at, v.cast<double>());
      else if (velna::py::is_bytes(v))
        st.bind_blob(at, velna::py::view_of(v));
      else
        st.bind_text(at, velna::py::text_utf8(v));
    }
  }
  Result r;
  while (st.step()) {
    pyb::tuple row(st.column_count());
    for (int i = 0; i < st.column_count(); ++i) {
      switch (st.column_kind(i)) {
        case store::ColumnKind::Null:
          row[i] = pyb::none();
          break;
        case store::ColumnKind::Integer:
          row[i] = pyb::int_(st.column_int64(i));
          break;
        case store::ColumnKind::Float:
          row[i] = pyb::float_(st.column_double(i));
          break;
        case store::ColumnKind::Text:
          row[i] = utf8_text(st.column_bytes(i));
          break;
        case store::ColumnKind::Blob:
          row[i] = velna::py::to_bytes(velna::as_bytes(st.column_bytes(i)));
          break;
      }
    }
    r.rows.append(row);
  }
  return r;
}

namespace {

void bind_Result(pyb::module_& m) {
  pyb::class_<Result>(m, "Result", "The rows of a textual statement.")
      .def(
          "fetchone",
          [](Result& r) -> pyb::object {
            if (r.at >= r.rows.size()) return pyb::none();
            return r.rows[r.at++];
          },
          "The next row, or None.")
      .def(
          "fetchall",
          [](Result& r) {
            pyb::list rest;
            for (; r.at < r.rows.size(); ++r.at) rest.append(r.rows[r.at]);
            return rest;
          },
          "The remaining rows.")
      .def(
          "scalar",
          [](Result& r) -> pyb::object {
            if (r.at >= r.rows.size()) return pyb::none();
            return pyb::tuple(r.rows[r.at++])[0];
          },
          "The first column of the next row, or None.");
}

}  // namespace

void bind_Query(pyb::module_& m) {
  pyb::class_<TextClause>(m, "TextClause", "A textual SQL statement.")
      .def_readonly("text", &TextClause::text)
      .def("__str__", [](const TextClause& t) { return t.text; });
  m.def(
      "text", [](std::string sql) { return TextClause{std::move(sql)}; },
      "A textual SQL statement.", "text"_a);
  pyb::class_<Query>(m, "Query", "A query of one table class.")
      .def(
          "filter_by",
          [](const Query& q, pyb::kwargs kw) {
            Query out = q;
            ClassInfo& ci = info_of(q.cls);
            for (auto item : kw) {
              std::string key = text_of(item.first);
              int col = ci.table->column_index(key);
              if (col < 0)
                raise(names.invalid_request, "Entity namespace for \"" +
                                                 std::string(ci.table->name) +
                                                 "\" has no property \"" + key + "\"");
              out.filters.emplace_back(col, vp::borrow(item.second.ptr()));
            }
            return out;
          },
          "Keeps the rows whose columns equal the given values.")
      .def(
          "all", [](const Query& q) { return q.session->select(q.cls, q.filters, -1); },
          "Every row.")
      .def(
          "first",
          [](const Query& q) -> pyb::object {
            pyb::list rows = q.session->select(q.cls, q.filters, 1);
            return rows.size() ? pyb::object(rows[0]) : pyb::object(pyb::none());
          },
          "The first row, or None.")
      .def(
          "one",
          [](const Query& q) -> pyb::object {
            pyb::list rows = q.session->select(q.cls, q.filters, 2);
            if (rows.size() == 0) raise(names.no_result, "No row was found when one was required");
            if (rows.size() > 1)
              raise(names.multiple_results,
                    "Multiple rows were found when exactly one was required");
            return rows[0];
          },
          "The one row; NoResultFound or MultipleResultsFound otherwise.")
      .def(
          "count", [](const Query& q) { return q.session->count(q.cls, q.filters); },
          "The number of rows.");

  bind_Result(m);
}

}  // namespace zov_database
}  // namespace velna
