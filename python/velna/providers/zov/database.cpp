// velna.providers.zov.database: the life of a user's local database and the
// small mapping layer over it (declarative base, engine, per-thread
// sessions). The tables, their DDL, the column cipher and the migrations are
// the core's; this module turns rows into objects and back.
#include <pybind11/pybind11.h>

#include <sys/stat.h>

#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fast_path.h"
#include "plain_class.h"
#include "timestamps.h"
#include "velna/store/cipher.h"
#include "velna/store/migrations.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace store = velna::store;
namespace vp = velna::py;
using namespace pyb::literals;
using store::Cell;
using store::ValueType;
using velna::log::Level;

constexpr const char* kLogger = "velna.providers.zov.database";
constexpr const char* kModule = "velna.providers.zov.database";

// Python objects kept for the life of the process (keep).
struct Names {
  PyObject* uuid_class;
  PyObject* datetime_class;
  PyObject* date_class;
  PyObject* fromisoformat;
  PyObject* utc;
  PyObject* json_dumps;
  PyObject* json_loads;
  PyObject* literal_eval;
  PyObject* unhexlify;
  PyObject* threading_local;
  PyObject* database_error;
  PyObject* invalid_request;
  PyObject* no_result;
  PyObject* multiple_results;
  PyObject* object_deleted;
  PyObject* object_new;
};
Names names;

std::string text_of(pyb::handle o) { return pyb::str(o).cast<std::string>(); }

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  vp::raise_error(type, message);
}

// ---------------------------------------------------------------------------
// Values: a Python value of a column becomes its value text (what the cipher
// encrypts), and the text read back becomes the Python value again.

std::string qualified(const store::Table& t, const store::Column& c) {
  return std::string(t.name) + "." + std::string(c.name);
}

std::string type_name(pyb::handle v) { return Py_TYPE(v.ptr())->tp_name; }

std::string iso_text(pyb::handle value) {
  pyb::object v = vp::borrow(value.ptr());
  if (!vp::is_instance(v, names.datetime_class)) v = velna::py::time::to_datetime(v);
  if (v.attr("utcoffset")().is_none()) v = v.attr("replace")("tzinfo"_a = vp::borrow(names.utc));
  return v.attr("isoformat")().cast<std::string>();
}

std::string hex_of(pyb::handle value) {
  pyb::object b = vp::borrow(value.ptr());
  if (!velna::py::is_bytes(b)) b = b.attr("encode")("utf-8");
  if (!velna::py::is_bytes(b)) velna::py::raise_type_error("encode() did not return bytes");
  return velna::to_hex(velna::py::view_of(b));
}

// to_cell converts |v| for column |c|; values that would not come back as
// they went in are refused with ValueError.
Cell to_cell(const store::Table& t, const store::Column& c, pyb::handle v) {
  if (v.is_none()) return Cell::null();
  switch (c.type) {
    case ValueType::String: {
      if (!velna::py::is_text(v))
        velna::py::raise_value_error("Column " + qualified(t, c) + " takes text, not " +
                                     type_name(v) + ".");
      std::string_view s = velna::py::text_utf8(v);
      if (c.encrypted && !s.empty() && s.back() == '*')
        velna::py::raise_value_error("Column " + qualified(t, c) + ": " +
                                     std::string(store::kTrailingPadMessage));
      return Cell::of(std::string(s));
    }
    case ValueType::Integer:
    case ValueType::BigInteger: {
      if (PyBool_Check(v.ptr())) return Cell::of(std::int64_t{v.ptr() == Py_True ? 1 : 0});
      if (!PyLong_Check(v.ptr()))
        velna::py::raise_value_error("Column " + qualified(t, c) + " takes integers, not " +
                                     type_name(v) + ".");
      pyb::object as_int = vp::steal(PyNumber_Long(v.ptr()));
      int overflow = 0;
      long long n = PyLong_AsLongLongAndOverflow(as_int.ptr(), &overflow);
      if (overflow == 0) return Cell::of(static_cast<std::int64_t>(n));
      if (!c.encrypted)
        velna::py::raise_value_error("Column " + qualified(t, c) + " takes 64-bit integers.");
      return Cell::of(text_of(as_int));
    }
    case ValueType::Boolean: {
      return Cell::of(std::string(vp::truthy(v) ? "true" : "false"));
    }
    case ValueType::Json:
      return Cell::of(vp::borrow(names.json_dumps)(v).cast<std::string>());
    case ValueType::Guid: {
      pyb::object id = vp::borrow(v.ptr());
      if (!vp::is_instance(v, names.uuid_class)) id = vp::borrow(names.uuid_class)(v);
      return Cell::of(pyb::str(id.attr("hex")).cast<std::string>());  // "%.32x" of its int
    }
    case ValueType::Binary:
      return Cell::of(hex_of(v));
    case ValueType::DateTime:
      return Cell::of(iso_text(v));
  }
  return Cell::null();
}

pyb::object utf8_text(std::string_view s) {
  return vp::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
}

pyb::object from_cell(const store::Column& c, const Cell& cell) {
  if (cell.kind == Cell::Kind::Null) return pyb::none();
  if (cell.kind == Cell::Kind::Integer) return pyb::int_(cell.integer);
  const std::string& s = cell.text;
  switch (c.type) {
    case ValueType::String:
      return utf8_text(s);
    case ValueType::Integer:
    case ValueType::BigInteger:
      if (auto n = store::parse_integer(s)) return pyb::int_(*n);
      // Booleans were once written into integer columns by their literal.
      if (s == "True" || s == "False") return pyb::int_(s == "True" ? 1 : 0);
      return pyb::int_(utf8_text(s));  // big integers, and the runtime's own error otherwise
    case ValueType::Boolean:
      return pyb::bool_(s == "true");
    case ValueType::Json: {
      pyb::object t = utf8_text(s);
      try {
        return vp::borrow(names.json_loads)(t);
      } catch (pyb::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
      }
      // Rows written before JSON text was used hold the value's literal form.
      return vp::borrow(names.literal_eval)(t);
    }
    case ValueType::Guid:
      return vp::borrow(names.uuid_class)(utf8_text(s));
    case ValueType::Binary:
      if (auto b = store::parse_hex(s)) return velna::py::to_bytes(*b);
      return vp::borrow(names.unhexlify)(utf8_text(s));
    case ValueType::DateTime: {
      pyb::object t = utf8_text(s);
      pyb::object dt = vp::own(PyObject_CallFunctionObjArgs(names.fromisoformat, t.ptr(), nullptr));
      if (dt) {
        if (dt.attr("utcoffset")().is_none())
          dt = dt.attr("replace")("tzinfo"_a = vp::borrow(names.utc));
        return dt;
      }
      PyErr_Clear();
      return velna::py::time::to_datetime(t);
    }
  }
  return pyb::none();
}

// ---------------------------------------------------------------------------
// Engine: one database file; every connection it opens enforces foreign keys.

// Handed keeps weak references to the connections or sessions handed out,
// so that whatever is still in use can be closed before the file goes.
template <typename T>
struct Handed {
  std::vector<std::weak_ptr<T>> items;

  void add(const std::shared_ptr<T>& p) {
    std::erase_if(items, [](const auto& w) { return w.expired(); });
    items.push_back(p);
  }
  void close_all() {
    for (auto& w : items)
      if (auto p = w.lock()) p->close();
  }
};

// sqlite_path is the file of a "sqlite:///<path>" address; other addresses
// are refused.
std::string sqlite_path(const std::string& url) {
  constexpr std::string_view prefix = "sqlite:///";
  if (url.rfind(prefix, 0) != 0)
    vp::raise_value_error("Only sqlite:/// addresses are supported: " + url);
  return url.substr(prefix.size());
}

struct EngineState {
  std::string path;
  pyb::object user_id;  // whose database this is (None when unknown)
  bool disposed = false;
  Handed<store::Connection> connections;
  std::unique_ptr<store::ColumnCipher> cipher;

  void check_open() const {
    if (disposed)
      raise(
          names.invalid_request,
          "The ZOV DB at " + path + " has been removed; initialize the database again to use it.");
  }

  std::shared_ptr<store::Connection> connect() {
    check_open();
    auto c = std::make_shared<store::Connection>(store::Connection::open(path, true));
    connections.add(c);
    return c;
  }

  void dispose() {
    connections.close_all();
    connections.items.clear();
    cipher.reset();
    disposed = true;
  }

  // column_cipher keys the cipher with the database key of this database's
  // user, as the models module hands it out now.
  store::ColumnCipher& column_cipher() {
    pyb::object models = pyb::module_::import("velna.providers.zov.models");
    pyb::object key = models.attr("_database_key")(user_id);
    velna::ByteView k = velna::py::bytes_arg(key, "database key");
    if (!cipher || !cipher->same_key(k)) cipher = std::make_unique<store::ColumnCipher>(k);
    return *cipher;
  }
};

struct Engine {
  std::shared_ptr<EngineState> state;
  std::string url;
};

// ---------------------------------------------------------------------------
// Declarative classes: each class names a table of the catalogue.

struct Relationship {
  std::string target;    // class name of the other side
  std::string backref;   // attribute set on each target object
  std::string lazy;      // "joined" loads the collection with its parents
  pyb::object keyed_by;  // column name of the mapping key, or None
  pyb::object name;      // the attribute it is declared as, once declared
};

struct ClassInfo {
  const store::Table* table = nullptr;
  pyb::object cls;
  std::vector<pyb::object> names;  // column attribute names, interned
  std::vector<int> pk;
  // relationship held by this class (parent side) and its attribute name
  std::string rel_attr;
  Relationship rel;
  // back reference set on this class by a parent's relationship
  std::string backref_attr;
  // every attribute the session loads (columns, relationship, back
  // reference): what a commit expires. A set kept for the process, like the
  // class.
  PyObject* mapped = nullptr;

  void map(pyb::handle name) {
    if (!mapped) mapped = vp::keep_new(PySet_New(nullptr));
    if (PySet_Add(mapped, name.ptr()) < 0) throw pyb::error_already_set();
  }

  void set_backref(const std::string& name) {
    backref_attr = name;
    map(pyb::str(name));
  }
};

std::unordered_map<PyObject*, ClassInfo> classes;
std::unordered_map<std::string, PyObject*> classes_by_name;
std::unordered_map<std::string, PyObject*> classes_by_table;

ClassInfo& info_of(pyb::handle cls) {
  auto it = classes.find(cls.ptr());
  if (it == classes.end())
    raise(names.invalid_request, "Class " + text_of(cls) + " is not a mapped table class.");
  return it->second;
}

ClassInfo* info_of_table(std::string_view table) {
  auto it = classes_by_table.find(std::string(table));
  return it == classes_by_table.end() ? nullptr : &classes.at(it->second);
}

// The parent side of a foreign key: the class holding the relationship whose
// target is |child|.
ClassInfo* parent_of(const ClassInfo& child) {
  if (!child.table->foreign_key) return nullptr;
  ClassInfo* p = info_of_table(child.table->foreign_key->target_table);
  return p && !p->rel_attr.empty() ? p : nullptr;
}

ClassInfo* child_of(const ClassInfo& parent) {
  if (parent.rel_attr.empty()) return nullptr;
  auto it = classes_by_name.find(parent.rel.target);
  return it == classes_by_name.end() ? nullptr : &classes.at(it->second);
}

// get_attr is o.<name>, None when |o| has none; set_attr sets it.
pyb::object get_attr(pyb::handle o, const pyb::object& name) {
  return vp::attr_or_none(o, name.ptr());
}
void set_attr(pyb::handle o, const pyb::object& name, pyb::handle v) { vp::set(o, name.ptr(), v); }

pyb::object new_instance(const ClassInfo& ci) {
  return vp::call1(names.object_new, ci.cls);  // object.__new__(cls)
}

// set_defaults gives a new object every column (None), its relationship
// collection (an empty mapping) and its back reference (None).
void set_defaults(const ClassInfo& ci, pyb::handle self) {
  for (const auto& n : ci.names) set_attr(self, n, pyb::none());
  if (!ci.rel_attr.empty()) set_attr(self, pyb::str(ci.rel_attr), pyb::dict());
  if (!ci.backref_attr.empty()) set_attr(self, pyb::str(ci.backref_attr), pyb::none());
}

void base_init(pyb::args args, pyb::kwargs kwargs) {
  if (args.size() != 1) velna::py::raise_type_error("__init__() takes only keyword arguments");
  pyb::object self = args[0];
  ClassInfo& ci = info_of(pyb::type::handle_of(self));
  set_defaults(ci, self);
  for (auto item : kwargs) {
    std::string key = text_of(item.first);
    bool known = ci.table->column_index(key) >= 0 || key == ci.rel_attr || key == ci.backref_attr;
    if (!known)
      velna::py::raise_type_error(
          "'" + key + "' is an invalid keyword argument for " +
          pyb::str(pyb::type::handle_of(self).attr("__name__")).cast<std::string>());
    pyb::setattr(self, item.first, item.second);
  }
}

struct MetaData {
  pyb::dict tables;  // name -> the registered Table, in declaration order
};

struct TableRef {
  const store::Table* table;
};

void register_class(MetaData& md, pyb::object cls) {
  pyb::object tablename = pyb::getattr(cls, "__tablename__", pyb::none());
  if (tablename.is_none())
    raise(names.invalid_request, "Class " + text_of(cls) + " has no __tablename__.");
  std::string name = text_of(tablename);
  const store::Table* t = store::find_table(name);
  if (!t) raise(names.invalid_request, "Table " + name + " is not part of the local database.");
  ClassInfo ci;
  ci.table = t;
  ci.cls = cls;
  for (const auto& c : t->columns) {
    ci.names.push_back(vp::borrow(vp::intern(std::string(c.name).c_str())));
    ci.map(ci.names.back());
  }
  ci.pk = t->primary_key();
  pyb::dict ns = cls.attr("__dict__").attr("copy")();
  for (auto item : ns) {
    if (!pyb::isinstance<Relationship>(item.second)) continue;
    item.second.cast<Relationship&>().name = vp::borrow(item.first.ptr());
    ci.rel_attr = text_of(item.first);
    ci.rel = item.second.cast<Relationship>();
    ci.map(item.first);
  }
  cls.attr("__table__") = TableRef{t};
  classes_by_name[pyb::str(cls.attr("__name__")).cast<std::string>()] = cls.ptr();
  classes_by_table[name] = cls.ptr();
  classes[cls.ptr()] = std::move(ci);
  vp::keep(cls);  // mapped classes live as long as the process
  ClassInfo& mine = classes[cls.ptr()];
  if (!mine.rel_attr.empty()) {
    if (ClassInfo* child = child_of(mine)) child->set_backref(mine.rel.backref);
  }
  // A child declared after its parent finds the parent's relationship here.
  for (auto& [p, other] : classes)
    if (!other.rel_attr.empty() &&
        other.rel.target == pyb::str(cls.attr("__name__")).cast<std::string>())
      mine.set_backref(other.rel.backref);
  md.tables[pyb::str(name)] = cls.attr("__table__");
}

// ---------------------------------------------------------------------------
// Session: one transaction at a time on one connection, an identity map, the
// objects added and deleted since the last flush.

struct Session;

// Objects that a commit expired, and the session whose identity map holds
// each. An expired object has none of its mapped attributes in its
// __dict__: reading one loads the row again (Base.__getattr__, and the
// relationship's __get__).
std::unordered_map<PyObject*, Session*> expired_objects;

// dict_of is the instance dictionary of |o|.
pyb::object dict_of(pyb::handle o) { return vp::steal(PyObject_GenericGetDict(o.ptr(), nullptr)); }

void set_dict_of(pyb::handle o, pyb::handle d) {
  if (PyObject_GenericSetDict(o.ptr(), d.ptr(), nullptr) < 0) throw pyb::error_already_set();
}

// loaded is the value of the attribute |name| in the dictionary |d|, or null.
PyObject* loaded(pyb::handle d, pyb::handle name) { return PyDict_GetItem(d.ptr(), name.ptr()); }

struct Query {
  std::shared_ptr<Session> session;
  pyb::object cls;
  std::vector<std::pair<int, pyb::object>> filters;  // column index, value
};

struct TextClause {
  std::string text;
};

struct Result {
  pyb::list rows;
  std::size_t at = 0;
};

// ResetOnExit leaves a statement reset however its use ends, so that no
// half-read statement keeps the file locked.
struct ResetOnExit {
  store::Statement& st;
  ~ResetOnExit() { st.reset(); }
};

// writes: the statement changes rows, so it runs in the session's
// transaction (a statement that only reads does not open one).
bool writes(std::string_view sql) {
  std::size_t at = sql.find_first_not_of(" \t\r\n(");
  if (at == std::string_view::npos) return false;
  std::string word;
  for (; at < sql.size() && std::isalpha(static_cast<unsigned char>(sql[at])); ++at)
    word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[at])));
  return word == "INSERT" || word == "UPDATE" || word == "DELETE" || word == "REPLACE";
}

struct Session : std::enable_shared_from_this<Session> {
  std::shared_ptr<EngineState> engine;
  std::shared_ptr<store::Connection> conn;
  std::unordered_map<std::string, store::Statement> statements;
  pyb::dict identity;  // (table, pk texts...) -> [object, snapshot]
  pyb::dict key_of;    // id(object) -> identity key
  pyb::list pending;   // objects added and not yet written
  pyb::dict pending_ids;
  pyb::list deleted;
  pyb::dict deleted_ids;
  pyb::dict expired;  // id(object) -> (object, the __dict__ it had when it expired)

  ~Session() {
    // Objects outlive their session: they keep what they last held.
    if (!velna::py::compat::finalizing()) {
      try {
        restore_expired();
      } catch (...) {
      }
    }
    std::erase_if(expired_objects, [this](const auto& e) { return e.second == this; });
  }

  // connection opens the session's connection when needed. A transaction
  // begins before the first write only, so that reads take no lock that
  // outlives their statement and other sessions can commit meanwhile.
  store::Connection& connection(bool write) {
    engine->check_open();
    if (!conn || !conn->is_open()) {
      statements.clear();
      conn = engine->connect();
    }
    if (write && !conn->in_transaction()) conn->exec("BEGIN");
    return *conn;
  }

  store::Statement& statement(const std::string& sql, bool write) {
    store::Connection& c = connection(write);
    auto it = statements.find(sql);
    if (it == statements.end()) it = statements.emplace(sql, c.prepare(sql)).first;
    return it->second;
  }

  void forget() {
    restore_expired();
    identity.clear();
    key_of.clear();
    pending = pyb::list();
    pending_ids.clear();
    deleted = pyb::list();
    deleted_ids.clear();
  }

  static pyb::int_ id_of(pyb::handle o) {
    return pyb::int_(reinterpret_cast<std::uintptr_t>(o.ptr()));
  }

  bool is_persistent(pyb::handle o) const { return key_of.contains(id_of(o)); }
  bool is_pending(pyb::handle o) const { return pending_ids.contains(id_of(o)); }
  bool is_expired(pyb::handle o) const {
    return !expired_objects.empty() && expired.contains(id_of(o));
  }

  // expire_all expires every object of the identity map, as a commit does:
  // its mapped attributes leave its __dict__ (kept aside for restore) and
  // are loaded again when one of them is next read.
  void expire_all() {
    PyObject* key = nullptr;
    PyObject* entry = nullptr;
    Py_ssize_t at = 0;
    const ClassInfo* ci = nullptr;
    while (PyDict_Next(identity.ptr(), &at, &key, &entry)) {
      pyb::handle o = PyList_GET_ITEM(entry, 0);
      pyb::int_ oid = id_of(o);
      if (PyDict_Contains(expired.ptr(), oid.ptr())) continue;
      if (!ci || !pyb::type::handle_of(o).is(ci->cls)) ci = &info_of(pyb::type::handle_of(o));
      pyb::object before = dict_of(o);
      pyb::dict after;  // what the mapping does not own stays
      PyObject* k = nullptr;
      PyObject* v = nullptr;
      Py_ssize_t pos = 0;
      while (PyDict_Next(before.ptr(), &pos, &k, &v)) {
        const int owned = PySet_Contains(ci->mapped, k);
        if (owned < 0) throw pyb::error_already_set();
        if (!owned) after[k] = v;
      }
      set_dict_of(o, after);
      pyb::object stash = vp::steal(PyTuple_Pack(2, o.ptr(), before.ptr()));
      if (PyDict_SetItem(expired.ptr(), oid.ptr(), stash.ptr()) < 0) throw pyb::error_already_set();
      expired_objects[o.ptr()] = this;
    }
  }

  // unexpire forgets that |o| is expired: a load has filled it again.
  void unexpire(pyb::handle o, const pyb::int_& oid) {
    PyDict_DelItem(expired.ptr(), oid.ptr());
    expired_objects.erase(o.ptr());
  }

  // restore gives an expired object that leaves the session the attributes
  // it had when it expired, where nothing was set since.
  void restore(const pyb::int_& oid) {
    PyObject* found = PyDict_GetItem(expired.ptr(), oid.ptr());
    if (!found) return;
    pyb::tuple entry = vp::borrow(found);
    pyb::object o = entry[0];
    pyb::object before = entry[1];
    unexpire(o, oid);
    pyb::object now = dict_of(o);
    if (PyDict_Size(now.ptr()) == 0) return set_dict_of(o, before);
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(before.ptr(), &pos, &k, &v))
      if (!PyDict_SetDefault(now.ptr(), k, v)) throw pyb::error_already_set();
  }

  void restore_expired() {
    if (expired.size() == 0) return;
    pyb::list ids = expired.attr("keys")();
    for (auto oid : ids) restore(pyb::reinterpret_borrow<pyb::int_>(oid));
  }

  // refresh loads the row of the expired object |o| again, with its
  // relationship; ObjectDeletedError when the row is gone.
  void refresh(pyb::handle o) {
    PyObject* key = PyDict_GetItem(key_of.ptr(), id_of(o).ptr());
    PyObject* entry = key ? PyDict_GetItem(identity.ptr(), key) : nullptr;
    if (!entry) return;
    pyb::tuple snap = pyb::list(vp::borrow(entry))[1];
    const ClassInfo& ci = info_of(pyb::type::handle_of(o));
    std::vector<std::pair<int, pyb::object>> filters;
    for (int i : ci.pk) filters.emplace_back(i, snap[i]);
    if (select(ci.cls, filters, 1, false).size() == 0)
      raise(names.object_deleted, "Instance '" + text_of(pyb::repr(o)) +
                                      "' has been deleted, or its row is otherwise not present.");
  }

  // identity_key: the table name and the primary key's value texts.
  pyb::tuple identity_key(const ClassInfo& ci, const std::vector<Cell>& pk_cells) {
    pyb::tuple key(pk_cells.size() + 1);
    key[0] = pyb::str(std::string(ci.table->name));
    for (std::size_t i = 0; i < pk_cells.size(); ++i) {
      const Cell& c = pk_cells[i];
      // An encrypted integer reads back as its text: key it by that text
      // whichever way the row came.
      bool as_text = i < ci.pk.size() && ci.table->columns[ci.pk[i]].encrypted;
      if (c.kind == Cell::Kind::Integer && as_text)
        key[i + 1] = pyb::str(std::to_string(c.integer));
      else if (c.kind == Cell::Kind::Integer)
        key[i + 1] = pyb::int_(c.integer);
      else if (c.kind == Cell::Kind::Text)
        key[i + 1] = pyb::str(c.text);
      else
        key[i + 1] = pyb::none();
    }
    return key;
  }

  std::vector<Cell> row_cells(const ClassInfo& ci, pyb::handle o) {
    std::vector<Cell> cells;
    cells.reserve(ci.names.size());
    for (std::size_t i = 0; i < ci.names.size(); ++i)
      cells.push_back(to_cell(*ci.table, ci.table->columns[i], get_attr(o, ci.names[i])));
    return cells;
  }

  // snapshot is what the row holds: |values| as read or written, JSON
  // values (mutable) by their text.
  pyb::tuple snapshot(const ClassInfo& ci, const std::vector<pyb::object>& values,
                      const std::vector<Cell>& cells) {
    pyb::tuple snap(ci.names.size());
    for (std::size_t i = 0; i < ci.names.size(); ++i) {
      if (ci.table->columns[i].type == ValueType::Json)
        snap[i] = cells[i].kind == Cell::Kind::Null ? pyb::object(pyb::none())
                                                    : pyb::object(pyb::str(cells[i].text));
      else
        snap[i] = values[i];
    }
    return snap;
  }

  std::vector<pyb::object> values_of(const ClassInfo& ci, pyb::handle o) {
    std::vector<pyb::object> values;
    values.reserve(ci.names.size());
    for (const auto& n : ci.names) values.push_back(get_attr(o, n));
    return values;
  }

  void remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells,
                const std::vector<pyb::object>& values) {
    std::vector<Cell> pk;
    for (int i : ci.pk) pk.push_back(cells[i]);
    pyb::tuple key = identity_key(ci, pk);
    pyb::list entry;
    entry.append(o);
    entry.append(snapshot(ci, values, cells));
    identity[key] = entry;
    key_of[id_of(o)] = key;
  }

  void remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells) {
    remember(ci, o, cells, values_of(ci, o));
  }

  void add(pyb::handle o) {
    info_of(pyb::type::handle_of(o));
    if (is_persistent(o) || is_pending(o)) return;
    pending.append(o);
    pending_ids[id_of(o)] = o;
  }

  // cascade brings the other side of the relationship of pending and
  // persistent objects into the session and fills in the foreign key. An
  // expired parent whose collection was not read again has nothing new.
  void cascade() {
    for (std::size_t i = 0; i < pending.size(); ++i) {
      pyb::object o = pending[i];
      ClassInfo& ci = info_of(pyb::type::handle_of(o));
      cascade_from(ci, o);
    }
    pyb::list parents;
    for (auto item : identity) {
      pyb::object o = item.second.cast<pyb::list>()[0];
      ClassInfo& ci = info_of(pyb::type::handle_of(o));
      if (!ci.rel_attr.empty() && (!is_expired(o) || loaded(dict_of(o), pyb::str(ci.rel_attr))))
        parents.append(o);
    }
    for (auto o : parents) cascade_from(info_of(pyb::type::handle_of(o)), o);
  }

  void cascade_from(ClassInfo& ci, pyb::handle o) {
    if (!ci.rel_attr.empty()) {
      pyb::object coll = get_attr(o, pyb::str(ci.rel_attr));
      if (coll.is_none()) return;
      pyb::object values = pyb::isinstance<pyb::dict>(coll) ? coll.attr("values")() : coll;
      ClassInfo* child = child_of(ci);
      for (auto c : pyb::iter(values)) {
        if (!child) break;
        if (is_expired(c)) continue;  // stored as it is, and not read again
        const auto& fk = *child->table->foreign_key;
        pyb::str fk_name(std::string(fk.column));
        pyb::object current = get_attr(c, pyb::str(ci.rel.backref));
        if (current.is_none()) set_attr(c, pyb::str(ci.rel.backref), o);
        if (get_attr(c, fk_name).is_none())
          set_attr(c, fk_name, get_attr(o, pyb::str(std::string(fk.target_column))));
        if (!is_persistent(c) && !is_pending(c) && !deleted_ids.contains(id_of(c))) add(c);
      }
    }
    if (!ci.backref_attr.empty()) {
      pyb::object parent = get_attr(o, pyb::str(ci.backref_attr));
      if (parent.is_none()) return;
      ClassInfo* pci = parent_of(ci);
      if (!pci) return;
      const auto& fk = *ci.table->foreign_key;
      pyb::str fk_name(std::string(fk.column));
      if (get_attr(o, fk_name).is_none())
        set_attr(o, fk_name, get_attr(parent, pyb::str(std::string(fk.target_column))));
      pyb::object coll = get_attr(parent, pyb::str(pci->rel_attr));
      if (pyb::isinstance<pyb::dict>(coll) && !pci->rel.keyed_by.is_none()) {
        pyb::object k = get_attr(o, pyb::str(pci->rel.keyed_by));
        if (!coll.contains(k)) coll[k] = o;
      }
      if (!is_persistent(parent) && !is_pending(parent)) add(parent);
    }
  }

  void flush() {
    if (pending.size() == 0 && deleted.size() == 0 && identity.size() == 0) return;
    cascade();
    store::ColumnCipher* cipher = nullptr;
    auto get_cipher = [&]() -> store::ColumnCipher& {
      if (!cipher) cipher = &engine->column_cipher();
      return *cipher;
    };
    try {
      flush_deletes(get_cipher);
      flush_inserts(get_cipher);
      flush_updates(get_cipher);
    } catch (...) {
      // A failed flush leaves the transaction unusable: roll it back.
      if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
      forget();
      throw;
    }
  }

  template <typename GetCipher>
  void flush_deletes(GetCipher& get_cipher) {
    if (deleted.size() == 0) return;
    const auto& tables = store::local_tables();
    for (auto t = tables.rbegin(); t != tables.rend(); ++t) {
      for (auto o : deleted) {
        ClassInfo& ci = info_of(pyb::type::handle_of(o));
        if (ci.table != &*t) continue;
        pyb::int_ oid = id_of(o);
        if (!key_of.contains(oid)) continue;  // already gone with its parent
        pyb::tuple key = key_of[oid];
        pyb::list entry = identity[key];
        pyb::tuple snap = entry[1];
        store::Statement& st = statement(ci.table->delete_sql(), true);
        st.reset();
        int at = 1;
        for (int i : ci.pk)
          store::bind_cell(st, at++, ci.table->columns[i],
                           to_cell(*ci.table, ci.table->columns[i], snap[i]), get_cipher());
        st.step();
        drop(key, oid);
        if (ClassInfo* child = child_of(ci)) drop_children(*child, key);
      }
    }
    deleted = pyb::list();
    deleted_ids.clear();
  }

  void drop(pyb::handle key, pyb::handle oid) {
    restore(pyb::reinterpret_borrow<pyb::int_>(oid));
    PyDict_DelItem(identity.ptr(), key.ptr());
    PyDict_DelItem(key_of.ptr(), oid.ptr());
  }

  // drop_children forgets the child rows that the foreign key deleted with
  // the parent of identity |parent_key|.
  void drop_children(const ClassInfo& child, pyb::tuple parent_key) {
    const auto& fk = *child.table->foreign_key;
    int fk_col = child.table->column_index(fk.column);
    pyb::list gone;
    for (auto item : identity) {
      pyb::list entry = item.second.cast<pyb::list>();
      pyb::object o = entry[0];
      if (!pyb::type::handle_of(o).is(child.cls)) continue;
      Cell c = to_cell(*child.table, child.table->columns[fk_col], pyb::tuple(entry[1])[fk_col]);
      if (c.kind == Cell::Kind::Text && parent_key.size() == 2 &&
          c.text == parent_key[1].cast<std::string>())
        gone.append(item.first);
    }
    for (auto k : gone) {
      pyb::list entry = identity[k];
      drop(k, id_of(entry[0]));
    }
  }

  template <typename GetCipher>
  void flush_inserts(GetCipher& get_cipher) {
    if (pending.size() == 0) return;
    pyb::list todo = pending;
    pending = pyb::list();
    pending_ids.clear();
    pyb::str active("active");
    for (const auto& t : store::local_tables()) {
      ClassInfo* ci = info_of_table(t.name);
      if (!ci) continue;
      store::Statement* st = nullptr;
      int autoinc = t.autoincrement();
      int active_col = t.column_index("active");
      for (auto o : todo) {
        if (!pyb::type::handle_of(o).is(ci->cls)) continue;
        // A key row left without "active" is written as active.
        if (active_col >= 0 && get_attr(o, active).is_none()) set_attr(o, active, pyb::bool_(true));
        std::vector<Cell> cells = row_cells(*ci, o);
        if (!st) st = &statement(t.insert_sql(), true);
        st->reset();
        store::bind_row(*st, 1, t, cells, get_cipher());
        st->step();
        if (autoinc >= 0 && cells[autoinc].kind == Cell::Kind::Null) {
          cells[autoinc] = Cell::of(conn->last_insert_rowid());
          set_attr(o, ci->names[autoinc], pyb::int_(cells[autoinc].integer));
        }
        remember(*ci, o, cells);
      }
    }
  }

  // set_since_expired: an attribute of a column was set on the expired |o|.
  bool set_since_expired(const ClassInfo& ci, pyb::handle o) {
    pyb::object d = dict_of(o);
    for (const auto& n : ci.names)
      if (loaded(d, n)) return true;
    return false;
  }

  template <typename GetCipher>
  void flush_updates(GetCipher& get_cipher) {
    // An expired object that was changed is read first, so that what it
    // was not given keeps the stored values; the others are unchanged.
    if (expired.size()) {
      pyb::list stale;
      for (auto item : identity) {
        pyb::object o = item.second.cast<pyb::list>()[0];
        if (is_expired(o) && set_since_expired(info_of(pyb::type::handle_of(o)), o))
          stale.append(o);
      }
      for (auto o : stale) refresh(o);
    }
    pyb::list changed;
    for (auto item : identity) {
      pyb::list entry = item.second.cast<pyb::list>();
      pyb::object o = entry[0];
      if (is_expired(o)) continue;
      ClassInfo& ci = info_of(pyb::type::handle_of(o));
      pyb::tuple snap = entry[1];
      for (std::size_t i = 0; i < ci.names.size(); ++i) {
        pyb::object now = get_attr(o, ci.names[i]);
        bool same;
        if (ci.table->columns[i].type == ValueType::Json) {
          Cell c = to_cell(*ci.table, ci.table->columns[i], now);
          same = c.kind == Cell::Kind::Null
                     ? snap[i].is_none()
                     : (!snap[i].is_none() && snap[i].cast<std::string>() == c.text);
        } else {
          int eq = PyObject_RichCompareBool(now.ptr(), snap[i].ptr(), Py_EQ);
          if (eq < 0) throw pyb::error_already_set();
          same = eq == 1 && (now.is_none() == snap[i].is_none());
        }
        if (!same) {
          changed.append(item.first);
          break;
        }
      }
    }
    for (auto key : changed) {
      pyb::list entry = identity[key];
      pyb::object o = entry[0];
      ClassInfo& ci = info_of(pyb::type::handle_of(o));
      pyb::tuple snap = entry[1];
      std::vector<Cell> cells = row_cells(ci, o);
      store::Statement& st = statement(ci.table->update_sql(), true);
      st.reset();
      store::bind_row(st, 1, *ci.table, cells, get_cipher());
      int at = static_cast<int>(cells.size()) + 1;
      for (int i : ci.pk) {
        const auto& col = ci.table->columns[i];
        store::bind_cell(st, at++, col, to_cell(*ci.table, col, snap[i]), get_cipher());
      }
      st.step();
      drop(key, id_of(o));
      remember(ci, o, cells);
    }
  }

  // commit writes the pending changes, commits, and expires every object it
  // holds, so that each is read again from what was committed.
  void commit() {
    flush();
    if (conn && conn->is_open() && conn->in_transaction()) conn->exec("COMMIT");
    expire_all();
  }

  void rollback() {
    if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
    forget();
  }

  void close() {
    if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
    forget();
    statements.clear();
    conn.reset();
  }

  void del(pyb::handle o) {
    if (is_pending(o)) {
      PyDict_DelItem(pending_ids.ptr(), id_of(o).ptr());
      pyb::list keep;
      for (auto p : pending)
        if (!p.is(o)) keep.append(p);
      pending = keep;
      return;
    }
    if (!is_persistent(o))
      raise(names.invalid_request, "Instance " + text_of(pyb::repr(o)) + " is not persisted");
    if (deleted_ids.contains(id_of(o))) return;
    deleted.append(o);
    deleted_ids[id_of(o)] = o;
    // A deleted child leaves its parent's collection, or the next flush
    // would write it again.
    ClassInfo& ci = info_of(pyb::type::handle_of(o));
    if (ci.backref_attr.empty()) return;
    pyb::object parent = get_attr(o, pyb::str(ci.backref_attr));
    ClassInfo* pci = parent_of(ci);
    if (parent.is_none() || !pci) return;
    pyb::object coll = get_attr(parent, pyb::str(pci->rel_attr));
    if (!pyb::isinstance<pyb::dict>(coll)) return;
    pyb::list gone;
    for (auto item : pyb::dict(coll))
      if (item.second.is(o)) gone.append(item.first);
    for (auto k : gone) PyDict_DelItem(coll.ptr(), k.ptr());
  }

  // load builds the object of a row read at |first|, or returns the object
  // the session already holds for it; an expired one is filled from the row
  // first, except for the attributes set on it since it expired. |fill| is
  // set when the object's relationship collection is new and empty, to be
  // filled from the rows joined to it.
  pyb::object load(ClassInfo& ci, store::Statement& st, int first, store::ColumnCipher& cipher,
                   bool& fill) {
    std::vector<Cell> cells;
    cells.reserve(ci.names.size());
    for (std::size_t i = 0; i < ci.names.size(); ++i)
      cells.push_back(
          store::read_cell(st, first + static_cast<int>(i), ci.table->columns[i], cipher));
    std::vector<Cell> pk;
    for (int i : ci.pk) pk.push_back(cells[i]);
    pyb::tuple key = identity_key(ci, pk);
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
      pyb::str rel(ci.rel_attr);
      fill = !loaded(d, rel);
      if (fill) d[rel] = pyb::dict();
    }
    if (!ci.backref_attr.empty()) {
      pyb::str backref(ci.backref_attr);
      if (!loaded(d, backref)) d[backref] = pyb::none();
    }
    if (existing) unexpire(o, id_of(o));
    remember(ci, o, cells, values);
    return o;
  }

  bool row_is_null(store::Statement& st, int first, const ClassInfo& ci) {
    for (int i : ci.pk)
      if (st.column_kind(first + i) != store::ColumnKind::Null) return false;
    return true;
  }

  std::string where_sql(const ClassInfo& ci,
                        const std::vector<std::pair<int, pyb::object>>& filters,
                        std::string_view alias) {
    std::string w;
    for (const auto& [col, value] : filters) {
      w += w.empty() ? " WHERE " : " AND ";
      w += std::string(alias) + "." + store::quote_name(ci.table->columns[col].name);
      w += value.is_none() ? " IS NULL" : " = ?";
    }
    return w;
  }

  void bind_filters(store::Statement& st, const ClassInfo& ci,
                    const std::vector<std::pair<int, pyb::object>>& filters,
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
  pyb::list select(pyb::handle cls, const std::vector<std::pair<int, pyb::object>>& filters,
                   long limit, bool autoflush = true) {
    if (autoflush && (pending.size() || deleted.size())) flush();
    ClassInfo& ci = info_of(cls);
    store::ColumnCipher& cipher = engine->column_cipher();
    std::string tname(ci.table->name);
    std::string inner =
        "SELECT " + ci.table->columns_sql(tname) + " FROM " + tname + where_sql(ci, filters, tname);
    if (limit >= 0) inner += " LIMIT " + std::to_string(limit);
    ClassInfo* child = child_of(ci);
    bool joined = child && ci.rel.lazy == "joined";
    std::string sql = inner;
    if (joined) {
      const auto& fk = *child->table->foreign_key;
      std::string alias = std::string(child->table->name) + "_1";
      sql = "SELECT anon_1." + std::string(ci.table->columns_sql("anon_1")).substr(7) + ", " +
            child->table->columns_sql(alias) + " FROM (" + inner + ") AS anon_1 LEFT OUTER JOIN " +
            std::string(child->table->name) + " AS " + alias + " ON anon_1." +
            store::quote_name(fk.target_column) + " = " + alias + "." +
            store::quote_name(fk.column);
    }
    store::Statement& st = statement(sql, false);
    ResetOnExit reset_after{st};
    st.reset();
    bind_filters(st, ci, filters, cipher);
    pyb::list out;
    pyb::dict seen;
    pyb::dict filling;  // parents whose collection these rows fill
    int ncols = static_cast<int>(ci.names.size());
    while (st.step()) {
      bool fill = false;
      pyb::object parent = load(ci, st, 0, cipher, fill);
      pyb::int_ pid = id_of(parent);
      if (!seen.contains(pid)) {
        seen[pid] = parent;
        out.append(parent);
        if (fill) filling[pid] = parent;
      }
      if (!joined || !filling.contains(pid) || row_is_null(st, ncols, *child)) continue;
      bool child_fill = false;
      pyb::object c = load(*child, st, ncols, cipher, child_fill);
      set_attr(c, pyb::str(ci.rel.backref), parent);
      pyb::object coll = get_attr(parent, pyb::str(ci.rel_attr));
      pyb::object k = ci.rel.keyed_by.is_none() ? pyb::object(pyb::int_(pyb::len(coll)))
                                                : get_attr(c, pyb::str(ci.rel.keyed_by));
      coll[k] = c;
    }
    st.reset();
    if (ClassInfo* parent_ci = parent_of(ci)) attach_parents(ci, *parent_ci, out, autoflush);
    return out;
  }

  // attach_parents sets the back reference of child rows loaded on their own.
  void attach_parents(const ClassInfo& ci, ClassInfo& parent_ci, pyb::list rows, bool autoflush) {
    const auto& fk = *ci.table->foreign_key;
    pyb::str fk_name(std::string(fk.column));
    pyb::str backref(ci.backref_attr);
    int target = parent_ci.table->column_index(fk.target_column);
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
      std::vector<std::pair<int, pyb::object>> f{{target, fk_value}};
      pyb::list parents = select(parent_ci.cls, f, 1, autoflush);
      if (parents.size()) set_attr(c, backref, parents[0]);
    }
  }

  std::int64_t count(pyb::handle cls, const std::vector<std::pair<int, pyb::object>>& filters) {
    if (pending.size() || deleted.size()) flush();
    ClassInfo& ci = info_of(cls);
    store::ColumnCipher& cipher = engine->column_cipher();
    std::string tname(ci.table->name);
    store::Statement& st =
        statement("SELECT count(*) FROM " + tname + where_sql(ci, filters, tname), false);
    ResetOnExit reset_after{st};
    st.reset();
    bind_filters(st, ci, filters, cipher);
    st.step();
    std::int64_t n = st.column_int64(0);
    st.reset();
    return n;
  }

  pyb::object get(pyb::handle cls, pyb::handle ident) {
    ClassInfo& ci = info_of(cls);
    pyb::tuple values = pyb::isinstance<pyb::tuple>(ident) ? pyb::tuple(vp::borrow(ident.ptr()))
                                                           : pyb::make_tuple(ident);
    if (values.size() != ci.pk.size())
      raise(names.invalid_request,
            "Incorrect number of values in identifier formed for argument 'ident'; primary "
            "key value requires " +
                std::to_string(ci.pk.size()) + " values");
    std::vector<Cell> pk;
    std::vector<std::pair<int, pyb::object>> filters;
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

  Result execute(const TextClause& clause, pyb::object params) {
    if (pending.size() || deleted.size()) flush();
    store::Statement st = connection(writes(clause.text)).prepare(clause.text);
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
};

// mapped_getattr is Base.__getattr__: an attribute that the instance does
// not hold is loaded when it is one the commit of the session holding the
// object expired; otherwise it is missing as on any object.
pyb::object mapped_getattr(pyb::object self, pyb::object name) {
  auto it = expired_objects.find(self.ptr());
  if (it != expired_objects.end()) {
    const int owned = PySet_Contains(info_of(pyb::type::handle_of(self)).mapped, name.ptr());
    if (owned < 0) throw pyb::error_already_set();
    if (owned) it->second->refresh(self);
  }
  return vp::steal(PyObject_GenericGetAttr(self.ptr(), name.ptr()));
}

// relationship_get is the relationship's __get__: the collection the
// instance holds, loaded again first when a commit expired it.
pyb::object relationship_get(pyb::object self, pyb::object instance, pyb::object) {
  const Relationship& r = self.cast<const Relationship&>();
  if (instance.is_none() || !r.name) return self;
  auto it = expired_objects.find(instance.ptr());
  if (it != expired_objects.end()) it->second->refresh(instance);
  if (PyObject* v = loaded(dict_of(instance), r.name)) return vp::borrow(v);
  PyErr_Format(PyExc_AttributeError, "'%.50s' object has no attribute '%U'",
               Py_TYPE(instance.ptr())->tp_name, r.name.ptr());
  throw pyb::error_already_set();
}

// ---------------------------------------------------------------------------
// Per-thread session registry.

struct SessionFactory {
  std::shared_ptr<EngineState> engine;

  std::shared_ptr<Session> make() const {
    auto made = std::make_shared<Session>();
    made->engine = engine;
    return made;
  }
};

struct ScopedSession {
  SessionFactory factory;
  pyb::object local;  // threading.local() holding this thread's session
  Handed<Session> all;

  std::shared_ptr<Session> current() {
    pyb::object s = pyb::getattr(local, "session", pyb::none());
    if (!s.is_none()) return s.cast<std::shared_ptr<Session>>();
    auto made = factory.make();
    all.add(made);
    local.attr("session") = pyb::cast(made);
    return made;
  }

  void close_all() { all.close_all(); }
};

// make_error defines the exception class |name| of the module, kept by the
// support library for the process.
PyObject* make_error(pyb::module_& m, const char* name, PyObject* base, const char* doc) {
  return vp::define_error(m, name, doc, base).ptr();
}

PyObject* module_ref = nullptr;  // this module, kept (keep)

// module_attr is the module's name |name| as it stands now.
pyb::object module_attr(const char* name) { return vp::borrow(module_ref).attr(name); }

void remove_if_there(pyb::object path) {
  try {
    path.attr("unlink")();
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_FileNotFoundError)) throw;
  }
}

}  // namespace

PYBIND11_MODULE(database, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The local database of a user: its file, its tables, its sessions.";
  module_ref = vp::keep(m);

  auto uuid = pyb::module_::import("uuid");
  auto datetime = pyb::module_::import("datetime");
  auto json = pyb::module_::import("json");
  names.uuid_class = velna::py::keep(uuid.attr("UUID"));
  names.datetime_class = velna::py::keep(datetime.attr("datetime"));
  names.date_class = velna::py::keep(datetime.attr("date"));
  names.fromisoformat = velna::py::keep(datetime.attr("datetime").attr("fromisoformat"));
  names.utc = velna::py::keep(datetime.attr("timezone").attr("utc"));
  names.json_dumps = velna::py::keep(json.attr("dumps"));
  names.json_loads = velna::py::keep(json.attr("loads"));
  names.literal_eval = velna::py::keep(pyb::module_::import("ast").attr("literal_eval"));
  names.unhexlify = velna::py::keep(pyb::module_::import("binascii").attr("unhexlify"));
  names.threading_local = velna::py::keep(pyb::module_::import("threading").attr("local"));
  names.object_new =
      velna::py::keep(pyb::module_::import("builtins").attr("object").attr("__new__"));
  m.attr("logging") = pyb::module_::import("logging");
  m.attr("pathlib") = pyb::module_::import("pathlib");

  names.database_error =
      make_error(m, "DatabaseError", PyExc_Exception, "A failure reported by the database.");
  // The core's database errors translate to these two (ModuleSetup).
  make_error(m, "IntegrityError", names.database_error,
             "A write refused by a constraint of the database.");
  make_error(m, "OperationalError", names.database_error,
             "The database could not run a statement.");
  names.invalid_request = make_error(m, "InvalidRequestError", PyExc_Exception,
                                     "A request the mapping layer cannot serve.");
  names.no_result = make_error(m, "NoResultFound", names.invalid_request,
                               "A query found no row where one was required.");
  names.multiple_results = make_error(m, "MultipleResultsFound", names.invalid_request,
                                      "A query found several rows where exactly one was required.");
  names.object_deleted = make_error(m, "ObjectDeletedError", names.invalid_request,
                                    "The row of an expired object is no longer in the database.");

  // --- column value types, as markers for the encrypted column wrapper ----
  const pyb::tuple plain = pyb::make_tuple(vp::object_type());
  for (const char* n : {"String", "Integer", "BigInteger", "Boolean", "JSON"})
    m.attr(n) = vp::make_class(kModule, n, plain, "A generic column value type.");

  // --- relationships ---------------------------------------------------
  pyb::class_<Relationship>(m, "relationship",
                            "A relationship of a table class to the rows of another.")
      .def(pyb::init([](std::string target, std::string backref, std::string lazy,
                        pyb::object collection_class) {
             Relationship r;
             r.target = std::move(target);
             r.backref = std::move(backref);
             r.lazy = std::move(lazy);
             r.keyed_by = collection_class.is_none()
                              ? pyb::object(pyb::none())
                              : pyb::object(pyb::getattr(collection_class, "key", pyb::none()));
             return r;
           }),
           "argument"_a, "backref"_a = "", "lazy"_a = "select", "collection_class"_a = pyb::none())
      .def("__get__", &relationship_get,
           "The collection of the instance, loaded again after a commit expired it.", "instance"_a,
           "owner"_a = pyb::none());
  pyb::class_<TextClause>(m, "TextClause", "A textual SQL statement.")
      .def_readonly("text", &TextClause::text)
      .def("__str__", [](const TextClause& t) { return t.text; });
  m.def(
      "text", [](std::string sql) { return TextClause{std::move(sql)}; },
      "A textual SQL statement.", "text"_a);
  m.def(
      "attribute_mapped_collection",
      [](pyb::object key) {
        pyb::object ns = pyb::module_::import("types").attr("SimpleNamespace")("key"_a = key);
        return ns;
      },
      "A collection that maps each row's attribute |key| to the row.", "key"_a);

  // --- metadata and the declarative base ---------------------------------
  pyb::class_<TableRef>(m, "Table", "A table of the local database.")
      .def_property_readonly("name", [](const TableRef& t) { return std::string(t.table->name); })
      .def_property_readonly("columns",
                             [](const TableRef& t) {
                               pyb::list l;
                               for (const auto& c : t.table->columns) l.append(std::string(c.name));
                               return l;
                             })
      .def("__repr__",
           [](const TableRef& t) { return "Table('" + std::string(t.table->name) + "')"; });

  auto metadata_class =
      pyb::class_<MetaData>(m, "MetaData", "The tables registered on the declarative base.");
  metadata_class.def_readonly("tables", &MetaData::tables)
      .def(
          "create_all",
          [](MetaData& md, Engine& engine) {
            auto conn = engine.state->connect();
            for (const auto& t : store::local_tables()) {
              if (!md.tables.contains(pyb::str(std::string(t.name)))) continue;
              store::Statement probe =
                  conn->prepare("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
              probe.bind_text(1, t.name);
              if (probe.step()) continue;
              conn->exec("BEGIN");
              conn->exec(t.create_sql());
              for (const auto& ix : t.index_sql()) conn->exec(ix);
              conn->exec("COMMIT");
            }
          },
          "Creates every registered table that does not exist yet.", "bind"_a);

  MetaData* md = new MetaData();  // lives as long as the process, like Base
  pyb::object metadata = pyb::cast(md, pyb::return_value_policy::reference);
  pyb::dict base_ns;
  base_ns["metadata"] = metadata;
  // Made by calling classmethod, which takes over the function's help text.
  static PyObject* const classmethod = reinterpret_cast<PyObject*>(&PyClassMethod_Type);
  base_ns["__init_subclass__"] = vp::borrow(classmethod)(
      pyb::cpp_function([md](pyb::object cls, pyb::kwargs) { register_class(*md, cls); },
                        pyb::name("__init_subclass__")));
  pyb::object base =
      vp::make_class(kModule, "Base", plain,
                     "The declarative base of the local database's table classes.", base_ns);
  vp::method(base, "__init__", &base_init);
  vp::method(base, "__getattr__", &mapped_getattr, "name"_a);
  m.attr("Base") = base;

  // --- value conversions, shared with the column types of the models ------
  m.def(
      "_to_text",
      [](std::string table, std::string column, pyb::object value) -> pyb::object {
        const store::Table* t = store::find_table(table);
        if (!t || t->column_index(column) < 0) velna::py::raise_value_error("unknown column");
        Cell c = to_cell(*t, t->columns[t->column_index(column)], value);
        if (c.kind == Cell::Kind::Null) return pyb::none();
        if (c.kind == Cell::Kind::Integer) return pyb::str(std::to_string(c.integer));
        return utf8_text(c.text);
      },
      "The value text of |value| for a column.", "table"_a, "column"_a, "value"_a);
  m.def(
      "_from_text",
      [](std::string table, std::string column, pyb::object text) -> pyb::object {
        const store::Table* t = store::find_table(table);
        if (!t || t->column_index(column) < 0) velna::py::raise_value_error("unknown column");
        if (text.is_none()) return pyb::none();
        return from_cell(t->columns[t->column_index(column)], Cell::of(text.cast<std::string>()));
      },
      "The value of a column's value text.", "table"_a, "column"_a, "text"_a);

  // --- engine -------------------------------------------------------------
  pyb::class_<Engine>(m, "Engine",
                      "One SQLite database file; every connection enforces foreign keys.")
      .def_readonly("url", &Engine::url)
      .def(
          "dispose", [](Engine& e) { e.state->dispose(); },
          "Closes every connection; the engine is unusable after.")
      .def("__repr__", [](const Engine& e) { return "Engine(" + e.url + ")"; });

  m.def(
      "create_engine",
      [](std::string url, pyb::object user_id) {
        Engine e;
        e.state = std::make_shared<EngineState>();
        e.state->path = sqlite_path(url);
        e.url = url;
        e.state->user_id = user_id;
        return e;
      },
      "An engine over the SQLite file of |url|.", "url"_a, "user_id"_a = pyb::none());

  // --- sessions -------------------------------------------------------------
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

  auto session_class = pyb::class_<Session, std::shared_ptr<Session>>(
      m, "Session", "One thread's database session.");
  session_class
      .def(
          "add", [](Session& s, pyb::object o) { s.add(o); }, "Adds the object to the session.",
          "instance"_a)
      .def(
          "add_all",
          [](Session& s, pyb::iterable objs) {
            for (auto o : objs) s.add(o);
          },
          "Adds each object to the session.", "instances"_a)
      .def(
          "delete", [](Session& s, pyb::object o) { s.del(o); }, "Marks the object for deletion.",
          "instance"_a)
      .def(
          "get", [](Session& s, pyb::object cls, pyb::object ident) { return s.get(cls, ident); },
          "The object of the primary key, or None.", "entity"_a, "ident"_a)
      .def(
          "query",
          [](Session& s, pyb::object cls) {
            return Query{s.shared_from_this(), cls, {}};
          },
          "A query of the table class.", "entity"_a)
      .def(
          "flush", [](Session& s) { s.flush(); }, "Writes the pending changes.")
      .def(
          "commit", [](Session& s) { s.commit(); },
          "Writes the pending changes, commits, and expires every object the session holds: each "
          "is read again, relationships included, when it is next used.")
      .def(
          "rollback", [](Session& s) { s.rollback(); }, "Rolls back and forgets every object.")
      .def(
          "close", [](Session& s) { s.close(); },
          "Rolls back, forgets every object and releases the connection.")
      .def(
          "execute",
          [](Session& s, const TextClause& t, pyb::object params) { return s.execute(t, params); },
          "Runs a textual statement in the session's transaction.", "statement"_a,
          "params"_a = pyb::none())
      .def("__contains__",
           [](Session& s, pyb::object o) { return s.is_persistent(o) || s.is_pending(o); });

  pyb::class_<SessionFactory>(m, "sessionmaker", "Makes sessions bound to one engine.")
      .def(pyb::init([](const Engine& e) { return SessionFactory{e.state}; }), "bind"_a)
      .def("__call__", &SessionFactory::make, "A new session.");

  auto scoped = pyb::class_<ScopedSession, std::shared_ptr<ScopedSession>>(
      m, "scoped_session", "A registry that gives each thread its own session.");
  scoped.def(pyb::init([](const SessionFactory& f) {
               auto r = std::make_shared<ScopedSession>();
               r->factory = f;
               r->local = vp::borrow(names.threading_local)();
               return r;
             }),
             "session_factory"_a);
  scoped
      .def(
          "__call__", [](ScopedSession& r) { return r.current(); }, "This thread's session.")
      .def(
          "remove",
          [](ScopedSession& r) {
            r.current()->close();
            r.local.attr("session") = pyb::none();
          },
          "Closes this thread's session and forgets it.");
  for (const char* name : {"add", "add_all", "delete", "get", "query", "flush", "commit",
                           "rollback", "close", "execute"}) {
    pyb::object method = session_class.attr(name);
    scoped.def(name, [method](ScopedSession& registry, pyb::args args, pyb::kwargs kwargs) {
      return method(pyb::cast(registry.current()), *args, **kwargs);
    });
  }

  // --- configuration of the migrations -------------------------------------
  pyb::object config = vp::make_class(
      kModule, "Config", plain, "The migration configuration: options by section, held in memory.");
  vp::method(config, "__init__", [](pyb::object self) { self.attr("sections") = pyb::dict(); });
  vp::method(
      config, "set_section_option",
      [](pyb::object self, pyb::str section, pyb::str name, pyb::str value) {
        pyb::dict sections = self.attr("sections");
        if (!sections.contains(section)) sections[section] = pyb::dict();
        sections[section][name] = value;
      },
      "section"_a, "name"_a, "value"_a);
  vp::method(
      config, "get_section_option",
      [](pyb::object self, pyb::str section, pyb::str name,
         pyb::object default_value) -> pyb::object {
        pyb::dict sections = self.attr("sections");
        if (!sections.contains(section)) return default_value;
        pyb::dict options = sections[section];
        return options.contains(name) ? pyb::object(options[name]) : default_value;
      },
      "section"_a, "name"_a, "default"_a = pyb::none());
  m.attr("Config") = config;

  m.def(
      "upgrade",
      [](pyb::object cfg, std::string revision) {
        if (revision != "head")
          velna::py::raise_value_error("Only upgrades to head are supported.");
        std::string url =
            cfg.attr("get_section_option")("alembic", "sqlalchemy.url").cast<std::string>();
        std::string scripts =
            cfg.attr("get_section_option")("alembic", "script_location").cast<std::string>();
        store::upgrade(sqlite_path(url), scripts);
      },
      "Brings the database of the configuration to the newest migration.", "config"_a,
      "revision"_a);

  // --- the database's life ---------------------------------------------------
  m.def(
      "get_file_path",
      [](pyb::object user_id) {
        pyb::module_ package = pyb::module_::import("velna.providers.zov");
        if (!pyb::hasattr(package, "client"))
          vp::raise_error(PyExc_ImportError,
                          "cannot import name 'client' from 'velna.providers.zov'");
        pyb::object client = package.attr("client");
        pyb::object locate = client.attr("get_file_path");
        pyb::bytes seed = pyb::str(text_of(user_id) + "SdkDatabase").attr("encode")("utf-8");
        return locate("seed"_a = seed);
      },
      "Returns the path of the user's database file in the local store.", "user_id"_a);

  pyb::object database =
      vp::make_class(kModule, "VelnaDatabase", plain, "A user's local database.");
  m.attr("VelnaDatabase") = database;
  vp::method(
      database, "initialize",
      [](pyb::object self, pyb::object user_id) {
        pyb::object path = module_attr("get_file_path")(user_id);
        self.attr("path") = path;
        if (!path.attr("exists")().cast<bool>()) {
          pyb::module_::import("velna.providers.zov.zov_client")
              .attr("_make_dirs")(path.attr("parent"));
          path.attr("touch")("mode"_a = 0600);
          ::chmod(text_of(path).c_str(), 0600);
        }
        std::string db_url = "sqlite:///" + text_of(path);
        pyb::object engine = module_attr("create_engine")(db_url, "user_id"_a = user_id);
        self.attr("engine") = engine;
        module_attr("Base").attr("metadata").attr("create_all")(engine);
        pyb::object here =
            module_attr("pathlib").attr("Path")(module_attr("__file__")).attr("parent");
        pyb::object scripts = here.attr("joinpath")("alembic");
        pyb::object cfg = module_attr("Config")();
        cfg.attr("set_section_option")("alembic", "sqlalchemy.url", db_url);
        cfg.attr("set_section_option")("alembic", "here", pyb::str(here));
        cfg.attr("set_section_option")("alembic", "script_location", pyb::str(scripts));
        self.attr("alembic_cfg") = cfg;
        module_attr("upgrade")(cfg, "head");
        self.attr("session") = module_attr("scoped_session")(module_attr("sessionmaker")(engine));
        velna::py::log_line(kLogger, Level::Debug, "ZOV DB has been created at @ " + text_of(path));
        pyb::object row =
            self.attr("session")
                .attr("execute")(module_attr("text")("select version_num from alembic_version"))
                .attr("fetchone")();
        std::string version = row.is_none() ? "head" : text_of(pyb::tuple(row)[0]);
        velna::py::get_logger(kLogger).attr("info")("ZOV DB Version: %s", version);
      },
      "Opens the user's database, creating the file and the tables when missing, and migrates "
      "it.",
      "user_id"_a);
  vp::method(
      database, "delete",
      [](pyb::object self, pyb::object prompt) {
        pyb::object builtins = pyb::module_::import("builtins");
        bool ask = vp::truthy(prompt);
        if (ask) {
          pyb::object answer =
              builtins.attr("input")("Are you sure you want to delete the ZOV's database? [y|N]");
          if (text_of(answer.attr("casefold")()) != "y") {
            builtins.attr("print")("ZOV DB has not been removed.");
            return;
          }
        }
        pyb::object path = self.attr("path");
        // Nothing may keep the file open while it goes.
        pyb::object registry = pyb::getattr(self, "session", pyb::none());
        if (!registry.is_none() && pyb::isinstance<ScopedSession>(registry))
          registry.cast<ScopedSession&>().close_all();
        pyb::object engine = pyb::getattr(self, "engine", pyb::none());
        if (!engine.is_none() && pyb::isinstance<Engine>(engine))
          engine.cast<Engine&>().state->dispose();
        remove_if_there(path);
        for (const char* suffix : {"-journal", "-wal", "-shm"})
          remove_if_there(path.attr("with_name")(pyb::str(path.attr("name")) + pyb::str(suffix)));
        velna::py::log_line(kLogger, Level::Info, "Removed the ZOV DB.");
        if (ask) builtins.attr("print")("ZOV DB has been removed.");
      },
      "Removes the database file, after a confirmation on the console unless |prompt| is "
      "false.",
      "prompt"_a = true);
}
