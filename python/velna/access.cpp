// velna.access: one user's access to one container: permissions, an
// expiration, audit stamps and the recipient key blob built on first read.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "plain_class.h"
#include "timestamps.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using velna::py::truthy;
using namespace pyb::literals;

PyObject* g_module = nullptr;  // velna.access, whose names are looked up at each call

pyb::object late(const char* name) {
  return pyb::reinterpret_borrow<pyb::object>(g_module).attr(name);
}

bool is_instance(pyb::handle o, pyb::handle cls) {
  const int r = PyObject_IsInstance(o.ptr(), cls.ptr());
  if (r < 0) throw pyb::error_already_set();
  return r == 1;
}

// The attributes equality compares, in the order it reads and traces them.
constexpr const char* kCompared[] = {"user_id",     "key_blob",    "created_at", "created_by",
                                     "modified_at", "modified_by", "expiration", "permissions"};
// The stamps, in the order construction clears them, each stored under its
// name with a leading underscore: date-times (_at) and user identifiers (_by).
constexpr const char* kStamps[] = {"created_at", "created_by", "modified_at", "modified_by"};

void access_init(pyb::object self, pyb::object user_id, pyb::object permissions,
                 pyb::object expiration, pyb::object key) {
  self.attr("_key_blob") = pyb::none();
  self.attr("user_id") = user_id;
  self.attr("permissions") = pyb::none();
  for (const char* stamp : kStamps) self.attr(stamp) = pyb::none();

  pyb::object permissions_class = late("Permissions");
  pyb::object chosen;
  if (permissions.is_none())
    chosen = permissions_class();
  else if (PyLong_Check(permissions.ptr()))  // bool included
    chosen = permissions_class("value"_a = permissions);
  else if (is_instance(permissions, permissions_class))
    chosen = permissions;
  else
    velna::py::raise_value_error("Cannot set permissions");
  self.attr("permissions") = chosen;

  if (!expiration.is_none() && !is_instance(expiration, late("datetime")))
    velna::py::raise_value_error("expiration must be a datetime if provided");
  self.attr("expiration") = expiration;

  if (truthy(key)) self.attr("key_blob") = key;
}

// key_blob_get returns the cached blob, or builds one inside one scope of the
// active provider, from the logged-in user to this entry's user. A failed
// build leaves no blob, so the next read tries again.
pyb::object key_blob_get(pyb::object self) {
  pyb::object cached = self.attr("_key_blob");
  if (!cached.is_none()) return cached;

  pyb::object providers = velna::py::import_module("velna.providers");
  pyb::object scope = providers.attr("get")();
  // As a with statement does: both methods come from the scope's type.
  pyb::object scope_type = pyb::type::of(scope);
  pyb::object exit = scope_type.attr("__exit__");
  pyb::object provider = scope_type.attr("__enter__")(scope);
  try {
    pyb::object sender = provider.attr("session").attr("user");
    if (sender.is_none()) {
      // Checked in every build, not only without -O.
      PyErr_SetNone(PyExc_AssertionError);
      throw pyb::error_already_set();
    }
    pyb::object container_id = self.attr("container").attr("id");
    pyb::object container_keys = self.attr("container").attr("container_keys");
    pyb::object sender_keys = sender.attr("keys");
    pyb::object recip_keys = provider.attr("keys").attr("get")(self.attr("user_id"));
    self.attr("_key_blob") =
        late("KIV")("container_id"_a = container_id, "container_keys"_a = container_keys,
                    "sender_keys"_a = sender_keys, "recip_keys"_a = recip_keys);
  } catch (pyb::error_already_set& e) {
    auto or_none = [](const pyb::object& o) -> pyb::object {
      return o ? o : pyb::object(pyb::none());
    };
    if (!truthy(exit(scope, or_none(e.type()), or_none(e.value()), or_none(e.trace())))) throw;
    return self.attr("_key_blob");
  }
  exit(scope, pyb::none(), pyb::none(), pyb::none());
  return self.attr("_key_blob");
}

pyb::object time_stamp(pyb::object value) {
  if (value.is_none() || is_instance(value, late("datetime"))) return value;
  return velna::py::time::to_datetime(value);
}

pyb::object user_stamp(pyb::object value) {
  if (value.is_none()) return value;
  return late("UUID")(value);
}

// read_or_none reads |name|, an AttributeError counting as None.
pyb::object read_or_none(pyb::handle o, const char* name) {
  PyObject* v = PyObject_GetAttrString(o.ptr(), name);
  if (v) return pyb::reinterpret_steal<pyb::object>(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw pyb::error_already_set();
  PyErr_Clear();
  return pyb::none();
}

pyb::object compare(pyb::handle self, pyb::handle other, const char* name) {
  pyb::object mine = read_or_none(self, name);
  pyb::object theirs = read_or_none(other, name);
  PyObject* r = PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ);
  if (!r) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(r);
}

bool access_equal(pyb::object self, pyb::object other) {
  if (!is_instance(other, pyb::type::of(self))) return false;
  if (velna::py::tracing()) {
    pyb::object log = late("log");
    log.attr("debug")("Comparing Access Equality");
    for (const char* name : kCompared) log.attr("debug")("%s %s", name, compare(self, other, name));
  }
  bool all = true;
  for (const char* name : kCompared) all = truthy(compare(self, other, name)) && all;
  return all;
}

}  // namespace

PYBIND11_MODULE(access, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "Access entries: one user's permissions and key blob for one container.";
  g_module = m.ptr();  // the interpreter keeps the module for the process
  m.attr("logging") = pyb::module_::import("logging");
  m.attr("datetime") = pyb::module_::import("datetime").attr("datetime");
  m.attr("Permissions") = pyb::module_::import("velna.permissions").attr("Permissions");
  m.attr("KIV") = pyb::module_::import("velna.crypto.kiv").attr("KIV");
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  m.attr("log") = velna::py::get_logger("velna.access");

  pyb::object object =
      pyb::reinterpret_borrow<pyb::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  pyb::object access = velna::py::make_class(
      "velna.access", "Access", pyb::make_tuple(object),
      "One user's access to one container: permissions, an optional expiration, audit stamps and "
      "the recipient key blob, built from the logged-in user on first read.");
  velna::py::method(access, "__init__", &access_init, "user_id"_a, "permissions"_a = pyb::none(),
                    "expiration"_a = pyb::none(), "key"_a = pyb::none());
  velna::py::property(access, "key_blob", &key_blob_get,
                      pyb::cpp_function(
                          [](pyb::object self, pyb::object value) {
                            self.attr("_key_blob") = late("KIV")("kiv_data"_a = value);
                          },
                          "self"_a, "value"_a));
  for (const char* stamp : kStamps) {
    const std::string slot = std::string("_") + stamp;
    const bool is_time = std::string_view(stamp).ends_with("_at");
    velna::py::property(
        access, stamp, [slot](pyb::object self) { return self.attr(slot.c_str()); },
        pyb::cpp_function(
            [slot, is_time](pyb::object self, pyb::object value) {
              self.attr(slot.c_str()) = is_time ? time_stamp(value) : user_stamp(value);
            },
            "self"_a, "value"_a));
  }
  velna::py::method(access, "__repr__", [](pyb::object self) {
    return pyb::str("<Access Expires={} {}>")
        .format(self.attr("expiration"), self.attr("permissions"));
  });
  velna::py::equality(access, &access_equal);
  m.attr("Access") = access;
}
