// velna.access: one user's access to one container: permissions, an
// expiration, audit stamps and the recipient key blob built on first read.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "fast_path.h"
#include "plain_class.h"
#include "provider_scope.h"
#include "timestamps.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using vp::is_instance;
using vp::truthy;
using namespace pyb::literals;

PyObject* g_module = nullptr;  // velna.access, whose names are looked up at each call

pyb::object late(const char* name) { return vp::borrow(g_module).attr(name); }

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
    vp::raise_value_error("Cannot set permissions");
  self.attr("permissions") = chosen;

  if (!expiration.is_none() && !is_instance(expiration, late("datetime")))
    vp::raise_value_error("expiration must be a datetime if provided");
  self.attr("expiration") = expiration;

  if (truthy(key)) self.attr("key_blob") = key;
}

// key_blob_get returns the cached blob, or builds one inside one scope of the
// active provider, from the logged-in user to this entry's user. A failed
// build leaves no blob, so the next read tries again.
pyb::object key_blob_get(pyb::object self) {
  pyb::object cached = self.attr("_key_blob");
  if (!cached.is_none()) return cached;

  pyb::object get = vp::import_module("velna.providers").attr("get");
  // A failure that the scope handled leaves the blob as it was: nothing.
  vp::run_scoped(get, [&](pyb::handle provider) {
    pyb::object sender = provider.attr("session").attr("user");
    if (sender.is_none()) {
      // Checked in every build, not only without -O.
      vp::raise_error(PyExc_AssertionError);
    }
    pyb::object container_id = self.attr("container").attr("id");
    pyb::object container_keys = self.attr("container").attr("container_keys");
    pyb::object sender_keys = sender.attr("keys");
    pyb::object recip_keys = provider.attr("keys").attr("get")(self.attr("user_id"));
    self.attr("_key_blob") =
        late("KIV")("container_id"_a = container_id, "container_keys"_a = container_keys,
                    "sender_keys"_a = sender_keys, "recip_keys"_a = recip_keys);
    return pyb::none();
  });
  return self.attr("_key_blob");
}

pyb::object time_stamp(pyb::object value) {
  if (value.is_none() || is_instance(value, late("datetime"))) return value;
  return vp::time::to_datetime(value);
}

pyb::object user_stamp(pyb::object value) {
  if (value.is_none()) return value;
  return late("UUID")(value);
}

// compare is self.<name> == other.<name>, an AttributeError counting as None.
pyb::object compare(pyb::handle self, pyb::handle other, const char* name) {
  pyb::str key(name);
  pyb::object mine = vp::attr_or_none(self, key.ptr());
  pyb::object theirs = vp::attr_or_none(other, key.ptr());
  return vp::steal(PyObject_RichCompare(mine.ptr(), theirs.ptr(), Py_EQ));
}

bool access_equal(pyb::object self, pyb::object other) {
  if (!is_instance(other, pyb::type::of(self))) return false;
  if (vp::tracing()) {
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
  vp::ModuleSetup setup;
  m.doc() = "Access entries: one user's permissions and key blob for one container.";
  g_module = vp::keep(m);
  vp::bind_lazily(m, "logging", "logging");
  vp::bind_lazily(m, "datetime", "datetime", "datetime");
  m.attr("Permissions") = pyb::module_::import("velna.permissions").attr("Permissions");
  m.attr("KIV") = pyb::module_::import("velna.crypto.kiv").attr("KIV");
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  vp::bind_lazily(m, "log", "logging", "getLogger", "velna.access");

  pyb::object object = vp::object_type();
  pyb::object access = vp::make_class(
      "velna.access", "Access", pyb::make_tuple(object),
      "One user's access to one container: permissions, an optional expiration, audit stamps and "
      "the recipient key blob, built from the logged-in user on first read.");
  vp::method(access, "__init__", &access_init, "user_id"_a, "permissions"_a = pyb::none(),
             "expiration"_a = pyb::none(), "key"_a = pyb::none());
  vp::property(access, "key_blob", &key_blob_get,
               pyb::cpp_function(
                   [](pyb::object self, pyb::object value) {
                     self.attr("_key_blob") = late("KIV")("kiv_data"_a = value);
                   },
                   "self"_a, "value"_a));
  for (const char* stamp : kStamps) {
    const std::string slot = std::string("_") + stamp;
    const bool is_time = std::string_view(stamp).ends_with("_at");
    vp::property(
        access, stamp, [slot](pyb::object self) { return self.attr(slot.c_str()); },
        pyb::cpp_function(
            [slot, is_time](pyb::object self, pyb::object value) {
              self.attr(slot.c_str()) = is_time ? time_stamp(value) : user_stamp(value);
            },
            "self"_a, "value"_a));
  }
  vp::method(access, "__repr__", [](pyb::object self) {
    return pyb::str("<Access Expires={} {}>")
        .format(self.attr("expiration"), self.attr("permissions"));
  });
  vp::equality(access, &access_equal);
  m.attr("Access") = access;
}
