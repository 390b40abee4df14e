// velna.permissions: one user's eight permission flags on one container,
// packed into one byte.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fast_path.h"
#include "plain_class.h"
#include "velna/permissions.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using vp::steal;
using namespace pyb::literals;

// Permissions is two plain records of flags; any number of extra attributes
// may be set on it, as on any Python object.
struct Permissions {
  pyb::object container;
  pyb::object access;
};

// A flag as the object holds it: the class constant holding its bit
// position ("_container_type_view_bit"), and the record path under the
// object (container, type, view), both cut from the flag's dotted name.
struct Flag {
  std::string_view name;
  std::string constant;
  std::string group;
  std::string sub;  // nested record under the group, or empty
  std::string field;
  int bit;
};

std::vector<Flag> make_flags() {
  std::vector<Flag> out;
  for (const auto& [name, bit] : velna::permissions::kFlags) {
    Flag f{name, "_" + std::string(name) + "_bit", {}, {}, {}, bit};
    std::replace(f.constant.begin(), f.constant.end(), '.', '_');
    const std::size_t first = name.find('.'), last = name.rfind('.');
    f.group = name.substr(0, first);
    if (first != last) f.sub = name.substr(first + 1, last - first - 1);
    f.field = name.substr(last + 1);
    out.push_back(std::move(f));
  }
  return out;
}

// In text order, which is also the order of packing.
const std::vector<Flag> kFlags = make_flags();

PyObject* g_class = nullptr;  // Permissions, kept for the process

bool test_bit(pyb::handle value, pyb::handle offset) {
  pyb::object mask = steal(PyNumber_Lshift(pyb::int_(1).ptr(), offset.ptr()));
  pyb::object masked = steal(PyNumber_And(value.ptr(), mask.ptr()));
  const int nonzero = PyObject_RichCompareBool(masked.ptr(), pyb::int_(0).ptr(), Py_NE);
  if (nonzero < 0) throw pyb::error_already_set();
  return nonzero == 1;
}

pyb::object flag_value(pyb::handle self, const Flag& f) {
  pyb::object record = self.attr(f.group.c_str());
  if (!f.sub.empty()) record = record.attr(f.sub.c_str());
  return record.attr(f.field.c_str());
}

// flag_bit reads the position through the object, so that the class
// constants are what decides it.
pyb::object flag_bit(pyb::handle self, const Flag& f) { return self.attr(f.constant.c_str()); }

pyb::object as_int(pyb::handle self) {
  pyb::object value = pyb::int_(0);
  for (const Flag& f : kFlags) {
    pyb::object shifted =
        steal(PyNumber_Lshift(flag_value(self, f).ptr(), flag_bit(self, f).ptr()));
    value = steal(PyNumber_Or(value.ptr(), shifted.ptr()));
  }
  return value;
}

bool equal(pyb::handle self, pyb::handle other) {
  pyb::object mine = as_int(self);
  pyb::object theirs = steal(PyNumber_Long(other.ptr()));
  return vp::equal(mine, theirs);
}

std::string text(pyb::handle self) {
  std::string names;
  for (const Flag& f : kFlags) {
    if (!vp::truthy(flag_value(self, f))) continue;
    if (!names.empty()) names += '|';
    names += f.name;
  }
  return "<Permission(" + names + ") int=" + pyb::str(as_int(self)).cast<std::string>() + ">";
}

}  // namespace

PYBIND11_MODULE(permissions, m) {
  vp::ModuleSetup setup;
  m.doc() = "Permission flags of one user on one container.";
  pyb::object namespace_type = pyb::module_::import("types").attr("SimpleNamespace");

  pyb::class_<Permissions> cls(m, "Permissions", pyb::dynamic_attr(),
                               "The eight permission flags of one user on one container.");
  for (const Flag& f : kFlags) cls.attr(f.constant.c_str()) = f.bit;
  g_class = vp::keep(cls);
  cls.def_static(
      "_test_bit", [](pyb::object value, pyb::object offset) { return test_bit(value, offset); },
      "Whether bit offset of the integer value is set.", "value"_a, "offset"_a);
  cls.def(pyb::init([namespace_type](pyb::object value) {
            // Bits are tested in the records' order, each through the
            // class's _test_bit as it stands now; the constructor reads the
            // positions from the class.
            pyb::handle type(g_class);
            std::vector<pyb::object> v;
            for (const Flag& f : kFlags)
              v.push_back(type.attr("_test_bit")(value, type.attr(f.constant.c_str())));
            Permissions p;
            p.container =
                namespace_type("download"_a = v[0], "decrypt"_a = v[1], "upload"_a = v[2],
                               "access_events"_a = v[3],
                               "type"_a = namespace_type("view"_a = v[4], "modify"_a = v[5]));
            p.access = namespace_type("view"_a = v[6], "modify"_a = v[7]);
            return p;
          }),
          "value"_a = velna::permissions::kAll);
  cls.def_readwrite("container", &Permissions::container);
  cls.def_readwrite("access", &Permissions::access);
  cls.def("__int__", [](pyb::object self) { return as_int(self); });
  cls.def("__repr__", [](pyb::object self) { return text(self); });
  cls.def("__eq__", [](pyb::object self, pyb::object other) { return equal(self, other); });
  vp::install_ne(cls);  // the negation of the object's own equality; no hash

  m.attr("DEFAULT_RECIP_PERMISSIONS") = cls(velna::permissions::kDefaultRecipient);
}
