// Readers of the fields of a record to build (a mapping of field names to
// values) for the binary layouts: a field by name, a 64-bit unsigned field,
// and a bytes-like field held while the core reads it. Inline: the container
// layouts read them on their hot path.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "velna/bytes.h"
#include "velna/error.h"
#include "velna_py.h"

namespace velna::py::record {

// A bytes-like argument held while the core reads it; |refuse| throws the
// error for anything else.
class Buffer {
 public:
  template <typename Refuse>
  Buffer(pybind11::handle o, Refuse&& refuse) {
    if (PyObject_GetBuffer(o.ptr(), &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      refuse();
    }
  }
  // A field of a record to build.
  Buffer(pybind11::handle o, const char* field)
      : Buffer(o, [field] { throw velna::BuildError(std::string(field) + " must be bytes"); }) {}
  ~Buffer() { PyBuffer_Release(&view_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  velna::ByteView view() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }

 private:
  Py_buffer view_{};
};

// The field |name| of |rec|; a record without it cannot be built.
inline pybind11::object entry(pybind11::handle rec, const char* name) {
  PyObject* v = PyObject_GetItem(rec.ptr(), pybind11::str(name).ptr());
  if (!v) {
    if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      throw velna::BuildError(std::string("missing field ") + name);
    }
    throw pybind11::error_already_set();
  }
  return steal(v);
}

// The field |name| of |rec| as an unsigned 64-bit integer (a bool is not one).
inline std::uint64_t u64_entry(pybind11::handle rec, const char* name) {
  pybind11::object v = entry(rec, name);
  if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr()))
    throw velna::BuildError(std::string(name) + " must be an integer from 0 to 2**64-1");
  unsigned long long n = PyLong_AsUnsignedLongLong(v.ptr());
  if (PyErr_Occurred()) {
    PyErr_Clear();
    throw velna::BuildError(std::string(name) + " must be an integer from 0 to 2**64-1");
  }
  return n;
}

}  // namespace velna::py::record
