// velna.permissions: one user's eight permission flags on one container,
// packed into one byte.
#include <pybind11/pybind11.h>

#include <string>

#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

// Permissions is two plain records of flags; any number of extra attributes
// may be set on it, as on any Python object.
struct Permissions {
  pyb::object container;
  pyb::object access;
};

// A flag: its dotted name, the class constant holding its bit position, the
// record path under the object and the bit position.
struct Flag {
  const char* name;
  const char* constant;
  const char* group;
  const char* sub;  // nested record under the group, or nullptr
  const char* field;
  int bit;
};

// In text order, which is also the order of packing.
constexpr Flag kFlags[] = {
    {"container.download", "_container_download_bit", "container", nullptr, "download", 0},
    {"container.decrypt", "_container_decrypt_bit", "container", nullptr, "decrypt", 1},
    {"container.upload", "_container_upload_bit", "container", nullptr, "upload", 2},
    {"container.access_events", "_container_access_events_bit", "container", nullptr,
     "access_events", 7},
    {"container.type.view", "_container_type_view_bit", "container", "type", "view", 6},
    {"container.type.modify", "_container_type_modify_bit", "container", "type", "modify", 5},
    {"access.view", "_access_view_bit", "access", nullptr, "view", 3},
    {"access.modify", "_access_modify_bit", "access", nullptr, "modify", 4},
};

PyObject* g_class = nullptr;  // Permissions, kept for the process

pyb::object steal(PyObject* o) {
  if (!o) throw pyb::error_already_set();
  return pyb::reinterpret_steal<pyb::object>(o);
}

bool test_bit(pyb::handle value, pyb::handle offset) {
  pyb::object mask = steal(PyNumber_Lshift(pyb::int_(1).ptr(), offset.ptr()));
  pyb::object masked = steal(PyNumber_And(value.ptr(), mask.ptr()));
  const int nonzero = PyObject_RichCompareBool(masked.ptr(), pyb::int_(0).ptr(), Py_NE);
  if (nonzero < 0) throw pyb::error_already_set();
  return nonzero == 1;
}

pyb::object flag_value(pyb::handle self, const Flag& f) {
  pyb::object record = self.attr(f.group);
  if (f.sub) record = record.attr(f.sub);
  return record.attr(f.field);
}

// flag_bit reads the position through the object, so that the class
// constants are what decides it.
pyb::object flag_bit(pyb::handle self, const Flag& f) { return self.attr(f.constant); }

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
  const int eq = PyObject_RichCompareBool(mine.ptr(), theirs.ptr(), Py_EQ);
  if (eq < 0) throw pyb::error_already_set();
  return eq == 1;
}

std::string text(pyb::handle self) {
  std::string names;
  for (const Flag& f : kFlags) {
    const int set = PyObject_IsTrue(flag_value(self, f).ptr());
    if (set < 0) throw pyb::error_already_set();
    if (!set) continue;
    if (!names.empty()) names += '|';
    names += f.name;
  }
  return "<Permission(" + names + ") int=" + pyb::str(as_int(self)).cast<std::string>() + ">";
}

}  // namespace

PYBIND11_MODULE(permissions, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "Permission flags of one user on one container.";
  pyb::object namespace_type = pyb::module_::import("types").attr("SimpleNamespace");

  pyb::class_<Permissions> cls(m, "Permissions", pyb::dynamic_attr(),
                               "The eight permission flags of one user on one container.");
  for (const Flag& f : kFlags) cls.attr(f.constant) = f.bit;
  g_class = velna::py::keep(cls);
  cls.def_static(
      "_test_bit", [](pyb::object value, pyb::object offset) { return test_bit(value, offset); },
      "Whether bit offset of the integer value is set.", "value"_a, "offset"_a);
  cls.def(pyb::init([namespace_type](pyb::object value) {
            // Bits are tested in the records' order, each through the
            // class's _test_bit as it stands now; the constructor reads the
            // positions from the class.
            pyb::handle type(g_class);
            auto bit = [&](const char* constant) {
              return type.attr("_test_bit")(value, type.attr(constant));
            };
            Permissions p;
            const pyb::object download = bit("_container_download_bit");
            const pyb::object decrypt = bit("_container_decrypt_bit");
            const pyb::object upload = bit("_container_upload_bit");
            const pyb::object access_events = bit("_container_access_events_bit");
            const pyb::object type_view = bit("_container_type_view_bit");
            const pyb::object type_modify = bit("_container_type_modify_bit");
            p.container = namespace_type(
                "download"_a = download, "decrypt"_a = decrypt, "upload"_a = upload,
                "access_events"_a = access_events,
                "type"_a = namespace_type("view"_a = type_view, "modify"_a = type_modify));
            const pyb::object view = bit("_access_view_bit");
            const pyb::object modify = bit("_access_modify_bit");
            p.access = namespace_type("view"_a = view, "modify"_a = modify);
            return p;
          }),
          "value"_a = 255);
  cls.def_readwrite("container", &Permissions::container);
  cls.def_readwrite("access", &Permissions::access);
  cls.def("__int__", [](pyb::object self) { return as_int(self); });
  cls.def("__repr__", [](pyb::object self) { return text(self); });
  cls.def("__eq__", [](pyb::object self, pyb::object other) { return equal(self, other); });
  // The negation of the object's own equality, a subclass's included.
  cls.def("__ne__", [](pyb::object self, pyb::object other) {
    const int eq = PyObject_IsTrue(pyb::object(self.attr("__eq__")(other)).ptr());
    if (eq < 0) throw pyb::error_already_set();
    return eq == 0;
  });
  cls.attr("__hash__") = pyb::none();

  int recipient_default = 0;
  for (const char* constant : {"_container_download_bit", "_container_decrypt_bit",
                               "_container_access_events_bit", "_access_view_bit"})
    recipient_default |= 1 << cls.attr(constant).cast<int>();
  m.attr("DEFAULT_RECIP_PERMISSIONS") = cls(recipient_default);
}
