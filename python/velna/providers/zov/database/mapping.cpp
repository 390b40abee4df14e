// The declarative classes: each names a table of the catalogue; a
// relationship links a parent class to the rows of its child table.
#include "database.h"
#include "plain_class.h"

namespace velna {
namespace zov_database {

using namespace pyb::literals;

void ClassInfo::map(pyb::handle name) {
  if (!mapped) mapped = vp::keep_new(PySet_New(nullptr));
  if (PySet_Add(mapped, name.ptr()) < 0) throw pyb::error_already_set();
}

void ClassInfo::set_backref(const std::string& name) {
  backref_attr = name;
  backref_name = vp::borrow(vp::intern(name.c_str()));
  map(backref_name);
}

namespace {

std::unordered_map<PyObject*, ClassInfo> classes;
std::unordered_map<std::string, PyObject*> classes_by_name;
std::unordered_map<std::string, PyObject*> classes_by_table;

}  // namespace

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

ClassInfo* parent_of(const ClassInfo& child) {
  auto link = store::parent_link(*child.table);
  ClassInfo* p = link ? info_of_table(link->parent->name) : nullptr;
  return p && !p->rel_attr.empty() ? p : nullptr;
}

ClassInfo* child_of(const ClassInfo& parent) {
  if (parent.rel_attr.empty()) return nullptr;
  auto it = classes_by_name.find(parent.rel.target);
  return it == classes_by_name.end() ? nullptr : &classes.at(it->second);
}

pyb::object dict_of(pyb::handle o) { return vp::steal(PyObject_GenericGetDict(o.ptr(), nullptr)); }

void set_dict_of(pyb::handle o, pyb::handle d) {
  if (PyObject_GenericSetDict(o.ptr(), d.ptr(), nullptr) < 0) throw pyb::error_already_set();
}

namespace {

// set_defaults gives a new object every column (None), its relationship
// collection (an empty mapping) and its back reference (None).
void set_defaults(const ClassInfo& ci, pyb::handle self) {
  for (const auto& n : ci.names) set_attr(self, n, pyb::none());
  if (!ci.rel_attr.empty()) set_attr(self, ci.rel_name, pyb::dict());
  if (!ci.backref_attr.empty()) set_attr(self, ci.backref_name, pyb::none());
}

void base_init(pyb::args args, pyb::kwargs kwargs) {
  if (args.size() != 1) velna::py::raise_type_error("__init__() takes only keyword arguments");
  pyb::object self = args[0];
  ClassInfo& ci = info_of(pyb::type::handle_of(self));
  set_defaults(ci, self);
  for (auto item : kwargs) {
    // The mapped names are the columns, the relationship and the back
    // reference.
    const int known = PySet_Contains(ci.mapped, item.first.ptr());
    if (known < 0) throw pyb::error_already_set();
    if (!known)
      velna::py::raise_type_error(
          "'" + text_of(item.first) + "' is an invalid keyword argument for " +
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
    ci.rel_name = vp::borrow(vp::intern(ci.rel_attr.c_str()));
    ci.rel = item.second.cast<Relationship>();
    ci.rel_backref = vp::borrow(vp::intern(ci.rel.backref.c_str()));
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

void bind_Relationship(pyb::module_& m) {
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
             if (!r.keyed_by.is_none()) r.keyed_by = pyb::str(r.keyed_by);  // an attribute name
             return r;
           }),
           "argument"_a, "backref"_a = "", "lazy"_a = "select", "collection_class"_a = pyb::none())
      .def("__get__", &relationship_get,
           "The collection of the instance, loaded again after a commit expired it.", "instance"_a,
           "owner"_a = pyb::none());
  m.def(
      "attribute_mapped_collection",
      [](pyb::object key) {
        pyb::object ns = pyb::module_::import("types").attr("SimpleNamespace")("key"_a = key);
        return ns;
      },
      "A collection that maps each row's attribute |key| to the row.", "key"_a);
}

void bind_MetaData(pyb::module_& m) {
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
              if (md.tables.contains(pyb::str(std::string(t.name))))
                store::create_missing(*conn, t);
            }
          },
          "Creates every registered table that does not exist yet.", "bind"_a);
}

}  // namespace

void bind_Base(pyb::module_& m) {
  bind_Relationship(m);
  bind_MetaData(m);
  const pyb::tuple plain = pyb::make_tuple(vp::object_type());
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
}

}  // namespace zov_database
}  // namespace velna
