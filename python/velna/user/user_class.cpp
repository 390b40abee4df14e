// velna.user.User: a user's identifier, key ring and decrypted key file.
#include <pybind11/pybind11.h>

#include "plain_class.h"
#include "user.h"
#include "velna_py.h"

namespace velna::user {
namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

constexpr const char* kEncryptedKeyFile = "Can only accept decrypted key files.";

void user_set_lockbox(pyb::object self, pyb::object lockbox) {
  if (vp::truth(lockbox.attr("encrypted"))) vp::raise_value_error(kEncryptedKeyFile);
  pyb::object ring = (*globals)["keys"].attr("KeyRing")("lockbox"_a = lockbox);
  self.attr("keys") = ring;
  self.attr("_lockbox") = lockbox;
}

}  // namespace

void bind_User(pyb::module_& module) {
  pyb::object cls =
      vp::make_class("velna.user", "User", pyb::make_tuple(vp::object_type()), "An Velna User.");
  vp::method(
      cls, "__init__",
      [](pyb::object self, pyb::object id, pyb::object lockbox) {
        self.attr("id") = id;
        self.attr("keys") = pyb::none();
        self.attr("lockbox") = lockbox;
      },
      "Builds a user from its identifier and its decrypted key file.", "id"_a, "lockbox"_a);
  vp::method(
      cls, "__repr__",
      [](pyb::object self) { return pyb::str("<User {}>").format(self.attr("id")); },
      "The user as text: <User id>.");
  vp::method(
      cls, "__eq__",
      [](pyb::object self, pyb::object other) {
        return vp::is_instance(other, vp::type_of(self)) &&
               vp::equal(self.attr("__dict__"), other.attr("__dict__"));
      },
      "Users are equal when their identifiers, key rings and key files are.", "other"_a);
  vp::method(
      cls, "__ne__",
      [](pyb::object self, pyb::object other) { return !vp::truthy(self.attr("__eq__")(other)); },
      "The negation of this class's equality.", "other"_a);
  cls.attr("__hash__") = pyb::none();
  vp::property(
      cls, "lockbox", [](pyb::object self) { return self.attr("_lockbox"); },
      pyb::cpp_function(&user_set_lockbox, pyb::name("lockbox")), "The user's key file.");
  module.attr("User") = cls;
}

}  // namespace velna::user
