// What the sources of velna.providers.zov.database share: the values of
// columns, the engine, the mapped classes and the session.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fast_path.h"
#include "velna/store/cipher.h"
#include "velna/store/relations.h"
#include "velna/store/rows.h"
#include "velna/store/schema.h"
#include "velna/store/sqlite.h"
#include "velna_py.h"

namespace velna {
namespace zov_database {

namespace pyb = pybind11;
namespace store = velna::store;
namespace vp = velna::py;
using store::Cell;

inline constexpr const char* kModule = "velna.providers.zov.database";
inline constexpr const char* kLogger = "velna.providers.zov.database";

// Python objects kept for the life of the process (keep), set at load; the
// standard library's on first use, when a value needs them.
struct Names {
  vp::FirstUse uuid_class{"uuid", "UUID"};
  vp::FirstUse datetime_class{"datetime", "datetime"};
  vp::FirstUse fromisoformat{"datetime", "datetime.fromisoformat"};
  vp::FirstUse utc{"datetime", "timezone.utc"};
  vp::FirstUse json_dumps{"json", "dumps"};
  vp::FirstUse json_loads{"json", "loads"};
  vp::FirstUse literal_eval{"ast", "literal_eval"};
  vp::FirstUse unhexlify{"binascii", "unhexlify"};
  vp::FirstUse threading_local{"threading", "local"};
  PyObject* database_error;
  PyObject* invalid_request;
  PyObject* no_result;
  PyObject* multiple_results;
  PyObject* object_deleted;
  PyObject* object_new;
};
extern Names names;

std::string text_of(pyb::handle o);
[[noreturn]] void raise(PyObject* type, const std::string& message);

// ---- values.cpp: a Python value of a column and its value text ----------

// to_cell converts |v| for column |c| of |t|; values that would not come
// back as they went in are refused with ValueError.
Cell to_cell(const store::Table& t, const store::Column& c, pyb::handle v);
pyb::object from_cell(const store::Column& c, const Cell& cell);
pyb::object utf8_text(std::string_view s);
void bind_values(pyb::module_& module);

// ---- engine.cpp: one database file ---------------------------------------

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

struct EngineState {
  std::string path;
  pyb::object user_id;  // whose database this is (None when unknown)
  bool disposed = false;
  Handed<store::Connection> connections;
  std::unique_ptr<store::ColumnCipher> cipher;

  void check_open() const;
  std::shared_ptr<store::Connection> connect();
  void dispose();
  // column_cipher keys the cipher with the database key of this database's
  // user, as the models module hands it out now.
  store::ColumnCipher& column_cipher();
};

struct Engine {
  std::shared_ptr<EngineState> state;
  std::string url;
};

void bind_Engine(pyb::module_& module);

// ---- mapping.cpp: declarative classes, each naming a catalogue table -----

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
  // rel_attr, backref_attr and rel.backref as interned str
  pyb::object rel_name, backref_name, rel_backref;
  // every attribute the session loads (columns, relationship, back
  // reference): what a commit expires. A set kept for the process, like the
  // class.
  PyObject* mapped = nullptr;

  void map(pyb::handle name);
  void set_backref(const std::string& name);
};

ClassInfo& info_of(pyb::handle cls);
ClassInfo* info_of_table(std::string_view table);
// parent_of is the class holding the relationship to |child| along the
// child's foreign key; child_of the class a parent's relationship names.
ClassInfo* parent_of(const ClassInfo& child);
ClassInfo* child_of(const ClassInfo& parent);

// get_attr is o.<name>, None when |o| has none; set_attr sets it.
inline pyb::object get_attr(pyb::handle o, const pyb::object& name) {
  return vp::attr_or_none(o, name.ptr());
}
inline void set_attr(pyb::handle o, const pyb::object& name, pyb::handle v) {
  vp::set(o, name.ptr(), v);
}
// new_instance is object.__new__(cls) of the class of |ci|.
inline pyb::object new_instance(const ClassInfo& ci) { return vp::call1(names.object_new, ci.cls); }
// dict_of is the instance dictionary of |o|; loaded the value of |name| in
// the dictionary |d|, or null.
pyb::object dict_of(pyb::handle o);
void set_dict_of(pyb::handle o, pyb::handle d);
inline PyObject* loaded(pyb::handle d, pyb::handle name) {
  return PyDict_GetItem(d.ptr(), name.ptr());
}
void bind_Base(pyb::module_& module);

// ---- session.cpp, flush.cpp, query.cpp: the session ----------------------

struct Session;

// Objects that a commit expired, and the session whose identity map holds
// each. An expired object has none of its mapped attributes in its
// __dict__: reading one loads the row again (Base.__getattr__, and the
// relationship's __get__).
extern std::unordered_map<PyObject*, Session*> expired_objects;

using Filters = std::vector<std::pair<int, pyb::object>>;  // column index, value

struct Query {
  std::shared_ptr<Session> session;
  pyb::object cls;
  Filters filters;
};

struct TextClause {
  std::string text;
};

struct Result {
  pyb::list rows;
  std::size_t at = 0;
};

// LazyCipher is the engine's column cipher, keyed at its first use.
struct LazyCipher {
  EngineState& engine;
  store::ColumnCipher* cipher = nullptr;
  store::ColumnCipher& operator()() {
    if (!cipher) cipher = &engine.column_cipher();
    return *cipher;
  }
};

// Session: one transaction at a time on one connection, an identity map,
// the objects added and deleted since the last flush.
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

  ~Session();

  static pyb::int_ id_of(pyb::handle o) {
    return pyb::int_(reinterpret_cast<std::uintptr_t>(o.ptr()));
  }
  bool is_persistent(pyb::handle o) const { return key_of.contains(id_of(o)); }
  bool is_pending(pyb::handle o) const { return pending_ids.contains(id_of(o)); }
  bool is_expired(pyb::handle o) const {
    return !expired_objects.empty() && expired.contains(id_of(o));
  }

  // session.cpp
  store::Connection& connection(bool write);
  store::Statement& statement(const std::string& sql, bool write);
  void forget();
  void expire_all();
  void unexpire(pyb::handle o, const pyb::int_& oid);
  void restore(const pyb::int_& oid);
  void restore_expired();
  void refresh(pyb::handle o);
  pyb::tuple identity_key(const ClassInfo& ci, const std::vector<Cell>& pk_cells);
  std::vector<Cell> row_cells(const ClassInfo& ci, pyb::handle o);
  pyb::tuple snapshot(const ClassInfo& ci, const std::vector<pyb::object>& values,
                      const std::vector<Cell>& cells);
  std::vector<pyb::object> values_of(const ClassInfo& ci, pyb::handle o);
  // row_key is the identity key of a row's |cells|; remember enters |o| in
  // the identity map with the snapshot of what its row holds.
  pyb::tuple row_key(const ClassInfo& ci, const std::vector<Cell>& cells);
  void remember(const ClassInfo& ci, pyb::handle o, const pyb::tuple& key,
                const std::vector<Cell>& cells, const std::vector<pyb::object>& values);
  void remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells,
                const std::vector<pyb::object>& values);
  void remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells);
  void add(pyb::handle o);
  void commit();
  void rollback();
  void close();
  void del(pyb::handle o);

  // flush.cpp
  void cascade();
  void cascade_from(ClassInfo& ci, pyb::handle o);
  void flush();
  void flush_deletes(LazyCipher& cipher);
  void drop(pyb::handle key, pyb::handle oid);
  void drop_children(const ClassInfo& child, const store::Link& link, const Cell& parent_value);
  void flush_inserts(LazyCipher& cipher);
  bool set_since_expired(const ClassInfo& ci, pyb::handle o);
  void flush_updates(LazyCipher& cipher);

  // query.cpp
  pyb::object load(ClassInfo& ci, store::Statement& st, int first, store::ColumnCipher& cipher,
                   bool& fill);
  bool row_is_null(store::Statement& st, int first, const ClassInfo& ci);
  void bind_filters(store::Statement& st, const ClassInfo& ci, const Filters& filters,
                    store::ColumnCipher& cipher);
  pyb::list select(pyb::handle cls, const Filters& filters, std::int64_t limit,
                   bool autoflush = true);
  void attach_parents(const ClassInfo& ci, ClassInfo& parent_ci, pyb::list rows, bool autoflush);
  std::int64_t count(pyb::handle cls, const Filters& filters);
  pyb::object get(pyb::handle cls, pyb::handle ident);
  Result execute(const TextClause& clause, pyb::object params);
};

// Per-thread session registry.
struct SessionFactory {
  std::shared_ptr<EngineState> engine;
  std::shared_ptr<Session> make() const;
};

struct ScopedSession {
  SessionFactory factory;
  pyb::object local;  // threading.local() holding this thread's session
  Handed<Session> all;

  std::shared_ptr<Session> current();
  void close_all() { all.close_all(); }
};

void bind_Query(pyb::module_& module);
void bind_Session(pyb::module_& module);

// ---- module.cpp ------------------------------------------------------------

void bind_VelnaDatabase(pyb::module_& module);

}  // namespace zov_database
}  // namespace velna
