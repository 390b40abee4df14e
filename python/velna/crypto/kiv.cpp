// velna.crypto.kiv: the recipient key blob, a container's keys sealed by a
// sender for one recipient, with its Base64 external form.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "plain_class.h"
#include "velna/crypto/ies.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using vp::truthy;
using namespace pyb::literals;

PyObject* g_module = nullptr;  // velna.crypto.kiv, whose names are looked up at each call

pyb::object late(const char* name) { return vp::borrow(g_module).attr(name); }

pyb::object base64() { return vp::import_module("base64"); }

void kiv_init(pyb::object self, pyb::object kiv_data, pyb::kwargs kwargs) {
  if (truthy(kiv_data)) {
    // The standard library's decoder skips characters outside the alphabet
    // (blanks, line breaks); the strict parse below refuses whatever the
    // decoded bytes do not make a blob of.
    pyb::object raw = base64().attr("b64decode")(kiv_data);
    self.attr("raw") = raw;
    self.attr("struct") = late("ies").attr("IESStruct").attr("parse")(raw);
    return;
  }
  self.attr("_create_kiv")(**kwargs);
}

constexpr const char* kCreateArgs[] = {"container_id", "container_keys", "sender_keys",
                                       "recip_keys"};

// create_args binds _create_kiv's arguments as a Python function's would be
// bound, with the runtime's messages for missing and unknown ones.
std::array<pyb::object, 4> create_args(pyb::args args, pyb::kwargs kwargs) {
  std::array<pyb::object, 4> out;
  if (args.size() > out.size())
    vp::raise_type_error("_create_kiv() takes 5 positional arguments but " +
                         std::to_string(args.size() + 1) + " were given");
  for (std::size_t i = 0; i < args.size(); ++i) out[i] = args[i];
  for (auto [key, value] : kwargs) {
    const std::string name = pyb::str(key);
    auto it = std::find(std::begin(kCreateArgs), std::end(kCreateArgs), name);
    if (it == std::end(kCreateArgs))
      vp::raise_type_error("_create_kiv() got an unexpected keyword argument '" + name + "'");
    pyb::object& slot = out[static_cast<std::size_t>(it - std::begin(kCreateArgs))];
    if (slot) vp::raise_type_error("_create_kiv() got multiple values for argument '" + name + "'");
    slot = vp::borrow(value.ptr());
  }
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!out[i]) missing.push_back(std::string("'") + kCreateArgs[i] + "'");
  if (!missing.empty()) {
    // Worded as the runtime words it: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string names;
    for (std::size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) names += missing.size() == 2 ? " " : ", ";
      if (i > 0 && i + 1 == missing.size()) names += "and ";
      names += missing[i];
    }
    vp::raise_type_error("_create_kiv() missing " + std::to_string(missing.size()) +
                         " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                         names);
  }
  return out;
}

void create_kiv(pyb::object self, pyb::args args, pyb::kwargs kwargs) {
  auto [container_id, container_keys, sender_keys, recip_keys] = create_args(args, kwargs);
  pyb::object key_type = late("KeyType");
  pyb::object deriv_key = recip_keys.attr("get_first_valid")(key_type.attr("DERIVATION"));
  pyb::object signing_key = sender_keys.attr("get_first_valid")(key_type.attr("AUTH"));
  self.attr("sender_user_id") = signing_key.attr("user_id");
  self.attr("recipient_user_id") = deriv_key.attr("user_id");
  pyb::object ies = late("ies");
  pyb::object data = vp::steal(PyObject_Bytes(container_keys.ptr()));  // bytes(container_keys)
  pyb::object raw = ies.attr("encrypt")("data"_a = data, "sender_keys"_a = sender_keys,
                                        "recip_keys"_a = recip_keys, "obj_id"_a = container_id);
  self.attr("raw") = raw;
  self.attr("struct") = ies.attr("IESStruct").attr("parse")(raw);
}

pyb::object get_container_keys(pyb::object self, pyb::object recip_keys, pyb::object sender_keys) {
  pyb::object txt =
      late("ies").attr("decrypt")(self.attr("raw"), recip_keys, "sender_keys"_a = sender_keys);
  pyb::object keys = late("ContainerKeys").attr("from_bytes")(txt);
  // Checked in every build: only index 0 of either algorithm exists.
  const pyb::int_ zero(0);
  for (const char* index : {"cipher_index", "mac_index"}) {
    if (!pyb::object(keys.attr(index)).equal(zero)) {
      vp::raise_error(PyExc_AssertionError);
    }
  }
  return keys;
}

bool kiv_equal(pyb::object self, pyb::object other) {
  return vp::is_instance(other, vp::type_of(self)) &&
         vp::equal(self.attr("raw"), other.attr("raw"));
}

}  // namespace

PYBIND11_MODULE(kiv, m) {
  vp::ModuleSetup setup;
  m.doc() = "The recipient key blob: a container's keys sealed for one recipient.";
  g_module = vp::keep(m);
  m.attr("ContainerKeys") = pyb::module_::import("velna.crypto.container").attr("ContainerKeys");
  m.attr("KeyType") = pyb::module_::import("velna.crypto.keys").attr("KeyType");
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  pyb::module_::import("velna.crypto.ies");
  m.attr("ies") = pyb::module_::import("velna.crypto").attr("ies");
  m.attr("VERSION") = velna::ies::kVersion;
  vp::bind_lazily(m, "log", "logging", "getLogger", "velna.crypto.kiv");

  pyb::object object = vp::object_type();
  pyb::object kiv = vp::make_class(
      "velna.crypto.kiv", "KIV", pyb::make_tuple(object),
      "A recipient key blob: made from its Base64 form (kiv_data), or new from container_id, "
      "container_keys, sender_keys and recip_keys.");
  vp::method(kiv, "__init__", &kiv_init, "kiv_data"_a = pyb::none());
  vp::method(kiv, "_create_kiv", &create_kiv);
  vp::method(kiv, "to_bytes", [](pyb::object self) { return self.attr("raw"); });
  vp::property(kiv, "b64",
               [](pyb::object self) { return base64().attr("b64encode")(self.attr("raw")); });
  vp::method(kiv, "get_container_keys", &get_container_keys, "recip_keys"_a,
             "sender_keys"_a = pyb::none());
  vp::method(kiv, "__repr__", [](pyb::object self) { return pyb::repr(self.attr("raw")); });
  vp::equality(kiv, &kiv_equal);
  m.attr("KIV") = kiv;
}
