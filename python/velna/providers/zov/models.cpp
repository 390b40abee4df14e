// velna.providers.zov.models: the column types, the database key and the
// five table classes of a user's local database.
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>

#include "fast_path.h"
#include "plain_class.h"
#include "velna/store/cipher.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

constexpr const char* kModule = "velna.providers.zov.models";

PyObject* models_module = nullptr;    // kept (keep)
PyObject* database_module = nullptr;  // kept (keep)

pyb::object models() { return vp::borrow(models_module); }
pyb::object database() { return vp::borrow(database_module); }
std::string text_of(pyb::handle o) { return pyb::str(o).cast<std::string>(); }

// KeyCache is get_sa_key: the database key, derived once from the signing
// key of index 0 of the logged-in user and kept until cache_clear. It also
// remembers whose key it holds, so that a database is never read or written
// under another user's key.
struct KeyCache {
  std::optional<velna::SecretBytes> key;
  pyb::object owner = pyb::none();

  pyb::bytes call() {
    if (key) return velna::py::to_bytes(key->view());
    pyb::object zov = models().attr("zov");
    pyb::object user = zov.attr("session").attr("user");
    pyb::object auth = models().attr("KeyType").attr("AUTH");
    pyb::object signing_key = user.attr("keys")[auth][pyb::int_(0)];
    pyb::object crypto = models().attr("crypto");
    pyb::object kdf2 = crypto.attr("KDF2");
    pyb::object to_der_private = crypto.attr("to_der_private");
    pyb::object der = to_der_private(signing_key.attr("private"));
    pyb::object db_key = kdf2(der);
    key.emplace(velna::py::bytes_arg(db_key, "key"));
    owner = pyb::getattr(user, "id", pyb::none());
    return db_key;
  }

  void clear() {
    key.reset();
    owner = pyb::none();
  }
};

// canonical_id is the canonical text of a user identifier (itself when it
// is no UUID).
std::string canonical_id(pyb::handle id) {
  try {
    return text_of(pyb::module_::import("uuid").attr("UUID")(pyb::str(id)));
  } catch (pyb::error_already_set&) {
    return text_of(id);
  }
}

// The database key cache this module made: while get_sa_key still holds
// it, the owner of the cached key is checked from C++.
constexpr const char* kKeyCacheKey = "velna.providers.zov.models.get_sa_key";
KeyCache* key_cache = nullptr;  // inside the registered get_sa_key
vp::Own own_key_cache(kKeyCacheKey);

// key_for is the key |cache| gives for the database of |user_id|.
pyb::object key_for(KeyCache& cache, pyb::handle user_id) {
  pyb::object key = cache.call();
  if (user_id.is_none()) return key;
  if (cache.owner.is_none() || canonical_id(cache.owner) == canonical_id(user_id)) return key;
  // The cached key is another user's. When the database's own user is the
  // one logged in now, derive theirs; otherwise refuse.
  pyb::object user = models().attr("zov").attr("session").attr("user");
  pyb::object current =
      user.is_none() ? pyb::object(pyb::none()) : pyb::getattr(user, "id", pyb::none());
  if (!current.is_none() && canonical_id(current) == canonical_id(user_id)) {
    cache.clear();
    return cache.call();
  }
  vp::raise_error(PyExc_PermissionError,
                  "The ZOV DB of user " + canonical_id(user_id) +
                      " cannot be used while another user's database key is in use.");
}

struct Names {
  VELNA_PY_NAME_FIELD(get_sa_key)
};
const Names& N() { return vp::table<Names>(); }

// database_key is the key for the database of |user_id|, from get_sa_key as
// the module holds it now; a replacement is only called.
pyb::object database_key(pyb::object user_id) {
  return vp::late_bound(
      models(), N().get_sa_key, own_key_cache, [&] { return key_for(*key_cache, user_id); },
      [](pyb::object fn) { return fn(); });
}

// plain_class is a class of this module over object.
pyb::object plain_class(const char* name, const char* doc, pyb::dict ns = pyb::dict()) {
  return vp::make_class(kModule, name, pyb::make_tuple(vp::object_type()), doc, ns);
}

// A column type: turns values into text on their way in and back on their
// way out, as the column (table, column) of the catalogue does.
pyb::object column_type(const char* name, const char* doc, pyb::object impl, const char* table,
                        const char* column) {
  pyb::dict ns;
  ns["impl"] = impl;
  pyb::object cls = plain_class(name, doc, ns);
  std::string t = table, c = column;
  vp::method(
      cls, "process_bind_param",
      [t, c](pyb::object, pyb::object value, pyb::object) -> pyb::object {
        if (value.is_none()) return pyb::none();
        return database().attr("_to_text")(t, c, value);
      },
      "value"_a, "dialect"_a);
  vp::method(
      cls, "process_result_value",
      [t, c](pyb::object, pyb::object value, pyb::object) -> pyb::object {
        if (value.is_none()) return pyb::none();
        return database().attr("_from_text")(t, c, value);
      },
      "value"_a, "dialect"_a);
  return cls;
}

// EncryptedType: a column type whose stored form is the column cipher's
// Base64 text (as bytes) of the inner type's text.
struct EncryptedType {
  pyb::object underlying_type;
  pyb::object key;
  std::string table, column;  // a catalogue column of the inner type

  // The cipher of the key it last had: keyed again only when the key (a
  // callable is called each time) is another.
  mutable std::shared_ptr<velna::store::ColumnCipher> keyed;

  velna::store::ColumnCipher& cipher() const {
    pyb::object k = key;
    if (PyCallable_Check(k.ptr())) k = k();
    if (velna::py::is_text(k)) k = k.attr("encode")("utf-8");
    velna::ByteView bytes = velna::py::bytes_arg(k, "key");
    if (!keyed || !keyed->same_key(bytes))
      keyed = std::make_shared<velna::store::ColumnCipher>(bytes);
    return *keyed;
  }
};

void bind_column_types(pyb::module_& m) {
  pyb::object char_type = plain_class("CHAR", "A fixed-width character column type.");
  vp::method(
      char_type, "__init__",
      [](pyb::object self, pyb::object length) { self.attr("length") = length; },
      "length"_a = pyb::none());
  m.attr("CHAR") = char_type;
  m.attr("GUID") = column_type("GUID", "An identifier stored as 32 lower-case hexadecimal digits.",
                               char_type(32), "containers", "id");
  m.attr("Binary") = column_type("Binary", "Bytes stored as lower-case hexadecimal text.",
                                 char_type, "keys", "pub_key");
  m.attr("DateTime") =
      column_type("DateTime", "A date and time with its UTC offset, stored as ISO 8601 text.",
                  char_type, "containers", "created_at");
}

// bind_database_key adds get_sa_key, the registered key cache, and returns
// it.
pyb::object bind_database_key(pyb::module_& m) {
  pyb::class_<KeyCache>(m, "_KeyCache", "The database key cache.")
      .def("__call__", &KeyCache::call, "Returns the 32-byte database key of the logged-in user.")
      .def("cache_clear", &KeyCache::clear, "Forgets the database key.")
      .def_property_readonly("owner", [](const KeyCache& k) { return k.owner; });
  pyb::object get_sa_key = pyb::cast(KeyCache{});  // the registry keeps it
  m.attr("get_sa_key") = get_sa_key;

  vp::register_native(kKeyCacheKey, get_sa_key);
  key_cache = &get_sa_key.cast<KeyCache&>();
  m.def("_database_key", &database_key, "The database key for the database of |user_id|.",
        "user_id"_a);

  return get_sa_key;
}

void bind_EncryptedType(pyb::module_& m, pyb::object get_sa_key) {
  pyb::class_<EncryptedType>(m, "EncryptedType", "An encrypted column type over an inner type.")
      .def(pyb::init([](pyb::object type_in, pyb::object key) {
             EncryptedType e;
             pyb::object inner = PyType_Check(type_in.ptr()) ? type_in() : type_in;
             e.underlying_type = inner;
             e.key = key;
             std::string name = pyb::str(pyb::type::handle_of(inner).attr("__name__"));
             static const std::pair<const char*, std::pair<const char*, const char*>> kinds[] = {
                 {"String", {"users", "id"}},      {"Integer", {"keys", "index"}},
                 {"BigInteger", {"events", "id"}}, {"Boolean", {"keys", "active"}},
                 {"JSON", {"events", "changes"}},  {"GUID", {"containers", "id"}},
                 {"Binary", {"keys", "pub_key"}},  {"DateTime", {"containers", "created_at"}}};
             for (const auto& [n, where] : kinds)
               if (name == n) {
                 e.table = where.first;
                 e.column = where.second;
               }
             if (e.table.empty())
               velna::py::raise_value_error("No encrypted column type for " + name + ".");
             return e;
           }),
           "type_in"_a, "key"_a)
      .def_readonly("underlying_type", &EncryptedType::underlying_type)
      .def_readonly("key", &EncryptedType::key)
      .def(
          "process_bind_param",
          [](const EncryptedType& e, pyb::object value, pyb::object) -> pyb::object {
            if (value.is_none()) return pyb::none();
            pyb::object text = database().attr("_to_text")(e.table, e.column, value);
            velna::store::ColumnCipher& c = e.cipher();
            return pyb::bytes(c.encrypt(velna::py::text_utf8(text)));
          },
          "The stored form of |value|.", "value"_a, "dialect"_a)
      .def(
          "process_result_value",
          [](const EncryptedType& e, pyb::object value, pyb::object) -> pyb::object {
            if (value.is_none()) return pyb::none();
            std::string stored = velna::py::is_bytes(value)
                                     ? std::string(velna::as_chars(velna::py::view_of(value)))
                                     : value.cast<std::string>();
            velna::store::ColumnCipher& c = e.cipher();
            std::string text = c.decrypt(stored);
            return database().attr("_from_text")(e.table, e.column, pyb::str(text));
          },
          "The value of the stored form |value|.", "value"_a, "dialect"_a);
  m.attr("Encrypted") = pyb::module_::import("_functools")
                            .attr("partial")(m.attr("EncryptedType"), "key"_a = get_sa_key);
}

void bind_tables(pyb::module_& m, pyb::object db) {
  pyb::object base = db.attr("Base");
  auto table_class = [&](const char* name, const char* table, const char* doc, pyb::dict ns) {
    ns["__tablename__"] = table;
    pyb::object cls = vp::make_class(kModule, name, pyb::make_tuple(base), doc, ns);
    m.attr(name) = cls;
    return cls;
  };
  table_class("User", "users", "A user of the local database.", pyb::dict());
  table_class("Key", "keys", "One public key of a user.", pyb::dict());
  pyb::dict container_ns;
  container_ns["access"] = db.attr("relationship")(
      "ContainerAccess", "backref"_a = "container", "lazy"_a = "joined",
      "collection_class"_a = db.attr("attribute_mapped_collection")("user_id"));
  table_class("Container", "containers", "What is known locally of one container.", container_ns);
  pyb::object access_cls = table_class("ContainerAccess", "container_accesses",
                                       "One user's access entry on one container.", pyb::dict());
  vp::method(
      access_cls, "make_class",
      [](pyb::object self) {
        pyb::object mod = models();
        if (!pyb::hasattr(mod, "Access"))
          mod.attr("Access") = pyb::module_::import("velna.access").attr("Access");
        if (!pyb::hasattr(mod, "Permissions"))
          mod.attr("Permissions") = pyb::module_::import("velna.permissions").attr("Permissions");
        pyb::object access = mod.attr("Access");
        pyb::dict kwargs;
        kwargs["user_id"] = self.attr("user_id");
        kwargs["permissions"] = mod.attr("Permissions")("value"_a = self.attr("permissions"));
        kwargs["expiration"] = self.attr("expires_at");
        kwargs["key"] = mod.attr("base64").attr("b64encode")(self.attr("key_blob"));
        pyb::object entry = access(**kwargs);
        for (const char* stamp : {"created_at", "created_by", "modified_at", "modified_by"})
          entry.attr(stamp) = self.attr(stamp);
        return entry;
      },
      "Turns the access row into an access entry.");
  table_class("Event", "events", "One event of the server's event log.", pyb::dict());
}

}  // namespace

PYBIND11_MODULE(models, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "The encrypted tables of the local database.";
  models_module = vp::keep(m);
  vp::bind_lazily(m, "base64", "base64");
  vp::bind_lazily(m, "binascii", "binascii");
  vp::bind_lazily(m, "uuid", "uuid");
  vp::bind_lazily(m, "functools", "functools");
  m.attr("crypto") = pyb::module_::import("velna.crypto");
  pyb::object db = pyb::module_::import("velna.providers.zov.database");
  database_module = velna::py::keep(db);
  m.attr("database") = db;
  m.attr("zov") = pyb::module_::import("velna.providers.zov");
  m.attr("Base") = db.attr("Base");
  m.attr("access") = pyb::module_::import("velna.access");
  m.attr("permissions") = pyb::module_::import("velna.permissions");
  m.attr("keys") = pyb::module_::import("velna.crypto.keys");
  m.attr("Access") = m.attr("access").attr("Access");
  m.attr("Permissions") = m.attr("permissions").attr("Permissions");
  m.attr("KeyType") = m.attr("keys").attr("KeyType");
  bind_column_types(m);
  bind_EncryptedType(m, bind_database_key(m));
  bind_tables(m, db);
}
