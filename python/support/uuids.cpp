#include "uuids.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include <structmember.h>

#include "fast_path.h"
#include "py_compat.h"

namespace velna::py {
namespace {

// slot_offset is where the instances of |cls| hold the object slot |name|
// (one of its __slots__), or -1 when |name| is no such slot.
Py_ssize_t slot_offset(PyTypeObject* cls, PyObject* name) {
  PyObject* d = compat::type_lookup(cls, name);  // borrowed
  if (!d || Py_TYPE(d) != &PyMemberDescr_Type) return -1;
  const PyMemberDef* m = reinterpret_cast<PyMemberDescrObject*>(d)->d_member;
  return m->type == T_OBJECT_EX && !(m->flags & READONLY) ? m->offset : -1;
}

struct Uuid {
  PyTypeObject* cls;
  PyObject* safe_unknown;  // uuid.SafeUUID.unknown
  PyObject* int_name = intern("int");
  PyObject* is_safe_name = intern("is_safe");
  PyObject* sixty_four;
  // Where a UUID holds its two slots (from 3.8 on), or -1 for none.
  Py_ssize_t int_at, is_safe_at;

  Uuid() {
    pybind11::module_ uuid = import_module("uuid");
    cls = reinterpret_cast<PyTypeObject*>(keep(uuid.attr("UUID")));
    safe_unknown = keep(uuid.attr("SafeUUID").attr("unknown"));
    sixty_four = keep_new(PyLong_FromLong(64));
    int_at = slot_offset(cls, int_name);
    is_safe_at = slot_offset(cls, is_safe_name);
  }
};

// store_slot sets the empty slot at |offset| of |o| to |value|, whose
// reference it takes.
void store_slot(PyObject* o, Py_ssize_t offset, PyObject* value) {
  *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset) = value;
}

const Uuid& U() {
  return first_made<Uuid>([] { return new Uuid; });
}

bool is_hex_digit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

void hex64(std::uint64_t v, char* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (int i = 15; i >= 0; --i, v >>= 4) out[i] = kDigits[v & 15];
}

}  // namespace

PyObject* uuid_of(const velna::utils::Uuid& id) {
  const Uuid& u = U();
  pybind11::object value = own(compat::unsigned_from_bytes(id.data(), id.size(), false));
  if (!value) return nullptr;
  pybind11::object made = own(u.cls->tp_alloc(u.cls, 0));
  if (!made) return nullptr;
  // The attributes UUID.__init__ sets, past its __setattr__ that refuses
  // them: straight into the slots that a new object holds empty, else as
  // object.__setattr__ sets them (the instance dict before 3.8).
  if (u.int_at >= 0 && u.is_safe_at >= 0) {
    store_slot(made.ptr(), u.int_at, value.release().ptr());
    Py_INCREF(u.safe_unknown);
    store_slot(made.ptr(), u.is_safe_at, u.safe_unknown);
  } else if (PyObject_GenericSetAttr(made.ptr(), u.int_name, value.ptr()) < 0 ||
             PyObject_GenericSetAttr(made.ptr(), u.is_safe_name, u.safe_unknown) < 0) {
    return nullptr;
  }
  // It holds an integer and an enum member, so it is in no reference cycle:
  // the cyclic collector need not visit it (nor a mapping holding only such
  // values).
  PyObject_GC_UnTrack(made.ptr());
  return made.release().ptr();
}

PyObject* uuid_from_hex(std::string_view hex) {
  if (hex.size() != 32 || !std::all_of(hex.begin(), hex.end(), is_hex_digit)) return nullptr;
  const std::optional<velna::utils::Uuid> id = velna::utils::parse_uuid(hex);
  if (!id) return nullptr;
  PyObject* made = uuid_of(*id);
  if (!made) throw pybind11::error_already_set();
  return made;
}

bool uuid_hex(PyObject* o, char out[32]) {
  const Uuid& u = U();
  if (Py_TYPE(o) != u.cls) return false;
  pybind11::object value = steal(PyObject_GenericGetAttr(o, u.int_name));
  if (!PyLong_CheckExact(value.ptr())) return false;
  pybind11::object high = steal(PyNumber_Rshift(value.ptr(), u.sixty_four));
  const std::uint64_t hi = PyLong_AsUnsignedLongLong(high.ptr());
  if (hi == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
    PyErr_Clear();  // not 128 bits: the general way says what it is
    return false;
  }
  hex64(hi, out);
  hex64(PyLong_AsUnsignedLongLongMask(value.ptr()), out + 16);
  return true;
}

}  // namespace velna::py
