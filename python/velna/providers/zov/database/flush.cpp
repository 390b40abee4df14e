// Writing what changed: the cascade of a relationship, then deletes
// (children first), inserts (parents first) and updates.
#include "database.h"

namespace velna {
namespace zov_database {

using store::ValueType;

// cascade brings the other side of the relationship of pending and
// persistent objects into the session and fills in the foreign key. An
// expired parent whose collection was not read again has nothing new.
void Session::cascade() {
  for (std::size_t i = 0; i < pending.size(); ++i) {
    pyb::object o = pending[i];
    ClassInfo& ci = info_of(pyb::type::handle_of(o));
    cascade_from(ci, o);
  }
  pyb::list parents;
  for (auto item : identity) {
    pyb::object o = item.second.cast<pyb::list>()[0];
    ClassInfo& ci = info_of(pyb::type::handle_of(o));
    if (!ci.rel_attr.empty() && (!is_expired(o) || loaded(dict_of(o), ci.rel_name)))
      parents.append(o);
  }
  for (auto o : parents) cascade_from(info_of(pyb::type::handle_of(o)), o);
}

void Session::cascade_from(ClassInfo& ci, pyb::handle o) {
  if (!ci.rel_attr.empty()) {
    pyb::object coll = get_attr(o, ci.rel_name);
    if (coll.is_none()) return;
    pyb::object values = pyb::isinstance<pyb::dict>(coll) ? coll.attr("values")() : coll;
    ClassInfo* child = child_of(ci);
    for (auto c : pyb::iter(values)) {
      if (!child) break;
      if (is_expired(c)) continue;  // stored as it is, and not read again
      store::Link link = *store::parent_link(*child->table);
      const pyb::object& fk_name = child->names[link.child_column];
      pyb::object current = get_attr(c, ci.rel_backref);
      if (current.is_none()) set_attr(c, ci.rel_backref, o);
      if (get_attr(c, fk_name).is_none())
        set_attr(c, fk_name, get_attr(o, ci.names[link.parent_column]));
      if (!is_persistent(c) && !is_pending(c) && !deleted_ids.contains(id_of(c))) add(c);
    }
  }
  if (!ci.backref_attr.empty()) {
    pyb::object parent = get_attr(o, ci.backref_name);
    if (parent.is_none()) return;
    ClassInfo* pci = parent_of(ci);
    if (!pci) return;
    store::Link link = *store::parent_link(*ci.table);
    const pyb::object& fk_name = ci.names[link.child_column];
    if (get_attr(o, fk_name).is_none())
      set_attr(o, fk_name, get_attr(parent, pci->names[link.parent_column]));
    pyb::object coll = get_attr(parent, pci->rel_name);
    if (pyb::isinstance<pyb::dict>(coll) && !pci->rel.keyed_by.is_none()) {
      pyb::object k = get_attr(o, pci->rel.keyed_by);
      if (!coll.contains(k)) coll[k] = o;
    }
    if (!is_persistent(parent) && !is_pending(parent)) add(parent);
  }
}

void Session::flush() {
  if (pending.size() == 0 && deleted.size() == 0 && identity.size() == 0) return;
  cascade();
  LazyCipher cipher{*engine};
  try {
    flush_deletes(cipher);
    flush_inserts(cipher);
    flush_updates(cipher);
  } catch (...) {
    // A failed flush leaves the transaction unusable: roll it back.
    if (conn && conn->is_open() && conn->in_transaction()) conn->exec("ROLLBACK");
    forget();
    throw;
  }
}

void Session::flush_deletes(LazyCipher& get_cipher) {
  if (deleted.size() == 0) return;
  for (const store::Table* t : store::delete_order()) {
    ClassInfo* child = nullptr;
    auto link = store::child_link(*t);
    for (auto o : deleted) {
      ClassInfo& ci = info_of(pyb::type::handle_of(o));
      if (ci.table != t) continue;
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
      if (link && (child = child_of(ci)) && child->table == link->child) {
        const store::Column& col = t->columns[link->parent_column];
        drop_children(*child, *link, to_cell(*t, col, snap[link->parent_column]));
      }
    }
  }
  deleted = pyb::list();
  deleted_ids.clear();
}

void Session::drop(pyb::handle key, pyb::handle oid) {
  restore(pyb::reinterpret_borrow<pyb::int_>(oid));
  PyDict_DelItem(identity.ptr(), key.ptr());
  PyDict_DelItem(key_of.ptr(), oid.ptr());
}

// drop_children forgets the child rows that |link| deleted with the parent
// whose referenced value is |parent_value|.
void Session::drop_children(const ClassInfo& child, const store::Link& link,
                            const Cell& parent_value) {
  const int fk_col = link.child_column;
  pyb::list gone;
  for (auto item : identity) {
    pyb::list entry = item.second.cast<pyb::list>();
    pyb::object o = entry[0];
    if (!pyb::type::handle_of(o).is(child.cls)) continue;
    Cell c = to_cell(*child.table, child.table->columns[fk_col], pyb::tuple(entry[1])[fk_col]);
    if (store::deleted_with(link, c, parent_value)) gone.append(item.first);
  }
  for (auto k : gone) {
    pyb::list entry = identity[k];
    drop(k, id_of(entry[0]));
  }
}

void Session::flush_inserts(LazyCipher& get_cipher) {
  if (pending.size() == 0) return;
  pyb::list todo = pending;
  pending = pyb::list();
  pending_ids.clear();
  for (const store::Table* table : store::insert_order()) {
    const store::Table& t = *table;
    ClassInfo* ci = info_of_table(t.name);
    if (!ci) continue;
    store::Statement* st = nullptr;
    int autoinc = t.autoincrement();
    std::vector<int> written_true;
    for (std::size_t i = 0; i < t.columns.size(); ++i)
      if (t.columns[i].written_true) written_true.push_back(static_cast<int>(i));
    for (auto o : todo) {
      if (!pyb::type::handle_of(o).is(ci->cls)) continue;
      for (int i : written_true)
        if (get_attr(o, ci->names[i]).is_none()) set_attr(o, ci->names[i], pyb::bool_(true));
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
bool Session::set_since_expired(const ClassInfo& ci, pyb::handle o) {
  pyb::object d = dict_of(o);
  for (const auto& n : ci.names)
    if (loaded(d, n)) return true;
  return false;
}

void Session::flush_updates(LazyCipher& get_cipher) {
  // An expired object that was changed is read first, so that what it
  // was not given keeps the stored values; the others are unchanged.
  if (expired.size()) {
    pyb::list stale;
    for (auto item : identity) {
      pyb::object o = item.second.cast<pyb::list>()[0];
      if (is_expired(o) && set_since_expired(info_of(pyb::type::handle_of(o)), o)) stale.append(o);
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

}  // namespace zov_database
}  // namespace velna
