// velna.utils: zero fill, the credential rule and its validators, identifier
// coercion and the container portion check.
#include <pybind11/pybind11.h>

#include "velna/utils.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

pyb::object uuid_class() {
  static velna::py::FirstUse cls{"uuid", "UUID"};
  return pyb::reinterpret_borrow<pyb::object>(cls);
}

bool validity_checker(pyb::handle value) {
  if (value.is_none()) return false;
  if (velna::py::is_text(value)) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(value.ptr());
    if (length == 0) return false;
    // Lone surrogates cannot be encoded; they belong to no class either.
    pyb::bytes utf8 = pyb::reinterpret_steal<pyb::bytes>(
        PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogatepass"));
    if (!utf8) {
      PyErr_Clear();
      return false;
    }
    return velna::utils::meets_credential_rule(velna::as_chars(velna::py::view_of(utf8)),
                                               static_cast<std::size_t>(length));
  }
  if (velna::py::is_bytes(value)) {
    auto v = velna::py::view_of(value);
    return velna::utils::meets_credential_rule(velna::as_chars(v), v.size());
  }
  return false;
}

}  // namespace

PYBIND11_MODULE(utils, m) {
  velna::py::ModuleSetup setup;
  velna::py::bind_lazily(m, "log", "logging", "getLogger", "velna.utils");

  m.def(
      "pad",
      [](pyb::object s, pyb::object length) -> pyb::object {
        if (velna::py::is_bytes(s) && PyLong_CheckExact(length.ptr())) {
          long long n = PyLong_AsLongLong(length.ptr());
          // Lengths beyond Py_ssize_t take the runtime's path, which fails as
          // Python does; narrowing them to std::size_t could wrap on armhf.
          if (n > 0 && static_cast<unsigned long long>(n) <= PY_SSIZE_T_MAX) {
            auto v = velna::py::view_of(s);
            const auto block = static_cast<std::size_t>(n);
            return velna::py::new_bytes(
                velna::utils::padded_size(v.size(), block),
                [&](std::uint8_t* out) { velna::utils::pad_into(v, block, out); });
          }
          PyErr_Clear();
        }
        // Anything else follows the runtime's own arithmetic and joining, so
        // its errors are the runtime's (ZeroDivisionError, TypeError).
        pyb::object size = pyb::int_(pyb::len(s));
        pyb::object rem =
            pyb::reinterpret_steal<pyb::object>(PyNumber_Remainder(size.ptr(), length.ptr()));
        if (!rem) throw pyb::error_already_set();
        pyb::object count = length - rem;
        pyb::object zeros = pyb::bytes("\0", 1) * count;
        return s + zeros;
      },
      "Pads a byte string with zero bytes up to a multiple of a block length.", "s"_a, "length"_a);

  m.def("_validity_checker", &validity_checker,
        "Checks a credential against the length and character-class rule.", "value"_a);
  m.def("is_passphrase_valid", &validity_checker, "Checks a passphrase.", "passphrase"_a);
  m.def("is_password_valid", &validity_checker, "Checks a password.", "password"_a);
  m.def(
      "is_reminder_valid", [](pyb::object) { return true; }, "Any reminder is valid.",
      "reminder"_a);

  m.def(
      "UUID",
      [](pyb::object value, pyb::object bytes_le) -> pyb::object {
        int truthy = PyObject_IsTrue(bytes_le.ptr());
        if (truthy < 0) throw pyb::error_already_set();
        if (truthy) return uuid_class()("bytes_le"_a = bytes_le);
        if (value.is_none()) {
          velna::py::raise_error(PyExc_ValueError);
        }
        try {
          return uuid_class()(value);
        } catch (pyb::error_already_set& e) {
          // Objects without text operations (a UUID, a number) pass unchanged.
          if (e.matches(PyExc_AttributeError)) return value;
          throw;
        }
      },
      "Coerces an identifier to a UUID.", "value"_a = pyb::none(), "bytes_le"_a = pyb::none());

  m.def(
      "portion_checker",
      [](pyb::object portion) {
        // Only ASCII text can be a portion name; other text (lone surrogates
        // among it) is never encoded, so it is refused like any other name.
        if (velna::py::is_text(portion) && PyUnicode_IS_ASCII(portion.ptr()) &&
            velna::utils::is_valid_portion(velna::py::text_utf8(portion)))
          return;
        // Membership of an unhashable value fails as set membership does.
        if (PyObject_Hash(portion.ptr()) == -1) throw pyb::error_already_set();
        velna::utils::reject_portion();
      },
      "Checks that a name is one of the container portions.", "portion"_a);
}
