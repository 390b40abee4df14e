// masked (velna_py.h): values as a message or a log line may show them. Part
// of the HTTP binding support library, since the rules are the HTTP layer's.
#include <string>
#include <string_view>

#include "fast_path.h"
#include "py_compat.h"
#include "velna/http/encoding.h"
#include "velna_py.h"

namespace velna::py {
namespace {

// utf8_or_empty is the UTF-8 form of a str, or nothing for one that has
// none (lone surrogates): such a text names no credential and holds no
// address that could have been sent.
std::string_view utf8_or_empty(PyObject* text) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(text, &n);
  if (s) return {s, static_cast<std::size_t>(n)};
  PyErr_Clear();
  return {};
}

struct Names {
  PyObject* const mask = intern("***");
};
const Names& N() { return table<Names>(); }

}  // namespace

pyb::object masked(pyb::handle value, std::string_view name) {
  if (!name.empty() && http::secret_name(name)) return borrow(N().mask);
  PyObject* o = value.ptr();
  if (is_text(value)) {
    const std::string_view text = utf8_or_empty(o);
    std::string shown = http::mask_url(text);
    return shown == text ? borrow(o) : pyb::str(shown);
  }
  if (PyDict_Check(o)) {
    pyb::dict copy;
    bool changed = false;
    PyObject *key, *member;
    for (Py_ssize_t at = 0; PyDict_Next(o, &at, &key, &member);) {
      pyb::object shown = masked(member, is_text(key) ? utf8_or_empty(key) : std::string_view());
      changed = changed || shown.ptr() != member;
      copy[key] = shown;
    }
    return changed ? pyb::object(copy) : borrow(o);
  }
  if (PyList_Check(o) || PyTuple_Check(o)) {
    pyb::list copy;
    bool changed = false;
    for (pyb::handle member : pyb::reinterpret_borrow<pyb::sequence>(value)) {
      pyb::object shown = masked(member);
      changed = changed || !shown.is(member);
      copy.append(shown);
    }
    if (!changed) return borrow(o);
    return PyTuple_Check(o) ? pyb::object(pyb::tuple(copy)) : pyb::object(copy);
  }
  return borrow(o);
}

}  // namespace velna::py
