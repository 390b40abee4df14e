// The session's life: its connection and transaction, its identity map, the
// expiry of what a commit wrote; and the per-thread registry of sessions.
#include "database.h"

namespace velna {
namespace zov_database {

using namespace pyb::literals;
using store::ValueType;

std::unordered_map<PyObject*, Session*> expired_objects;

Session::~Session() {
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
store::Connection& Session::connection(bool write) {
  engine->check_open();
  if (!conn || !conn->is_open()) {
    statements.clear();
    conn = engine->connect();
  }
  if (write && !conn->in_transaction()) conn->exec("BEGIN");
  return *conn;
}

store::Statement& Session::statement(const std::string& sql, bool write) {
  store::Connection& c = connection(write);
  auto it = statements.find(sql);
  if (it == statements.end()) it = statements.emplace(sql, c.prepare(sql)).first;
  return it->second;
}

void Session::forget() {
  restore_expired();
  identity.clear();
  key_of.clear();
  pending = pyb::list();
  pending_ids.clear();
  deleted = pyb::list();
  deleted_ids.clear();
}

// expire_all expires every object of the identity map, as a commit does:
// its mapped attributes leave its __dict__ (kept aside for restore) and
// are loaded again when one of them is next read.
void Session::expire_all() {
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
void Session::unexpire(pyb::handle o, const pyb::int_& oid) {
  PyDict_DelItem(expired.ptr(), oid.ptr());
  expired_objects.erase(o.ptr());
}

// restore gives an expired object that leaves the session the attributes
// it had when it expired, where nothing was set since.
void Session::restore(const pyb::int_& oid) {
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

void Session::restore_expired() {
  if (expired.size() == 0) return;
  pyb::list ids = expired.attr("keys")();
  for (auto oid : ids) restore(pyb::reinterpret_borrow<pyb::int_>(oid));
}

// refresh loads the row of the expired object |o| again, with its
// relationship; ObjectDeletedError when the row is gone.
void Session::refresh(pyb::handle o) {
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
pyb::tuple Session::identity_key(const ClassInfo& ci, const std::vector<Cell>& pk_cells) {
  pyb::tuple key(pk_cells.size() + 1);
  key[0] = pyb::str(std::string(ci.table->name));
  for (std::size_t i = 0; i < pk_cells.size(); ++i) {
    const Cell c =
        i < ci.pk.size() ? store::key_cell(ci.table->columns[ci.pk[i]], pk_cells[i]) : pk_cells[i];
    if (c.kind == Cell::Kind::Integer)
      key[i + 1] = pyb::int_(c.integer);
    else if (c.kind == Cell::Kind::Text)
      key[i + 1] = pyb::str(c.text);
    else
      key[i + 1] = pyb::none();
  }
  return key;
}

std::vector<Cell> Session::row_cells(const ClassInfo& ci, pyb::handle o) {
  std::vector<Cell> cells;
  cells.reserve(ci.names.size());
  for (std::size_t i = 0; i < ci.names.size(); ++i)
    cells.push_back(to_cell(*ci.table, ci.table->columns[i], get_attr(o, ci.names[i])));
  return cells;
}

// snapshot is what the row holds: |values| as read or written, JSON
// values (mutable) by their text.
pyb::tuple Session::snapshot(const ClassInfo& ci, const std::vector<pyb::object>& values,
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

std::vector<pyb::object> Session::values_of(const ClassInfo& ci, pyb::handle o) {
  std::vector<pyb::object> values;
  values.reserve(ci.names.size());
  for (const auto& n : ci.names) values.push_back(get_attr(o, n));
  return values;
}

pyb::tuple Session::row_key(const ClassInfo& ci, const std::vector<Cell>& cells) {
  std::vector<Cell> pk;
  for (int i : ci.pk) pk.push_back(cells[i]);
  return identity_key(ci, pk);
}

void Session::remember(const ClassInfo& ci, pyb::handle o, const pyb::tuple& key,
                       const std::vector<Cell>& cells, const std::vector<pyb::object>& values) {
  pyb::list entry(2);
  entry[0] = o;
  entry[1] = snapshot(ci, values, cells);
  identity[key] = entry;
  key_of[id_of(o)] = key;
}

void Session::remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells,
                       const std::vector<pyb::object>& values) {
  remember(ci, o, row_key(ci, cells), cells, values);
}

void Session::remember(const ClassInfo& ci, pyb::handle o, const std::vector<Cell>& cells) {
  remember(ci, o, cells, values_of(ci, o));
}

void Session::add(pyb::handle o) {
  info_of(pyb::type::handle_of(o));
  if (is_persistent(o) || is_pending(o)) return;
  pending.append(o);
  pending_ids[id_of(o)] = o;
}

// commit writes the pending changes, commits, and expires every object it
// holds, so that each is read again from what was committed.
void Session::commit() {
  flush();
  if (conn && conn->is_open() && conn->in_transaction()) conn->exec("COMMIT");
  expire_all();
}

void Session::rollback() {
  if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
  forget();
}

void Session::close() {
  if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
  forget();
  statements.clear();
  conn.reset();
}

void Session::del(pyb::handle o) {
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
  pyb::object parent = get_attr(o, ci.backref_name);
  ClassInfo* pci = parent_of(ci);
  if (parent.is_none() || !pci) return;
  pyb::object coll = get_attr(parent, pci->rel_name);
  if (!pyb::isinstance<pyb::dict>(coll)) return;
  pyb::list gone;
  for (auto item : pyb::dict(coll))
    if (item.second.is(o)) gone.append(item.first);
  for (auto k : gone) PyDict_DelItem(coll.ptr(), k.ptr());
}

std::shared_ptr<Session> SessionFactory::make() const {
  auto made = std::make_shared<Session>();
  made->engine = engine;
  return made;
}

std::shared_ptr<Session> ScopedSession::current() {
  pyb::object s = pyb::getattr(local, "session", pyb::none());
  if (!s.is_none()) return s.cast<std::shared_ptr<Session>>();
  auto made = factory.make();
  all.add(made);
  local.attr("session") = pyb::cast(made);
  return made;
}

namespace {

void bind_scoped_session(pyb::module_& m, pyb::object session_class) {
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
}

}  // namespace

void bind_Session(pyb::module_& m) {
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

  bind_scoped_session(m, session_class);
}

}  // namespace zov_database
}  // namespace velna
