// velna.crypto.hash: normalises a credential to the hexadecimal digest of it,
// unless it already is such a digest.
#include <pybind11/pybind11.h>

#include "py_compat.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

// parses_as_hex runs the runtime's own int(data, 16), so that white space,
// signs, the 0x prefix, underscores and the decimal digits of other scripts
// are judged exactly as the runtime judges them. Only a ValueError means
// "not a number"; any other error (a TypeError for a list) reaches the caller.
bool parses_as_hex(pyb::handle data) {
  static PyObject* sixteen = velna::py::keep_new(PyLong_FromLong(16));
  PyObject* args[] = {data.ptr(), sixteen};
  pyb::object n = velna::py::own(
      velna::py::compat::call(reinterpret_cast<PyObject*>(&PyLong_Type), args, 2, nullptr));
  if (n) return true;
  if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();
    return false;
  }
  throw pyb::error_already_set();
}

PyObject* this_module = nullptr;  // kept for the life of the process

}  // namespace

PYBIND11_MODULE(hash, m) {
  velna::py::ModuleSetup setup;
  m.doc() = "Normalises credentials to hexadecimal digests.";

  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("hashes") = crypto.attr("hashes");
  m.attr("_hash") = crypto.attr("_hash");
  pyb::object sha384 = crypto.attr("hashes").attr("SHA384");
  this_module = velna::py::keep(m);

  m.def(
      "get_hash",
      [](pyb::object data, pyb::object algorithm) -> pyb::object {
        pyb::object algo = algorithm();
        // len() first: nothing or a number fails here with a TypeError,
        // before any digest is computed; key-file decryption relies on it.
        Py_ssize_t length = PyObject_Length(data.ptr());
        if (length < 0) throw pyb::error_already_set();
        Py_ssize_t digest_size = algo.attr("digest_size").cast<Py_ssize_t>();
        bool needs_hash = length != 2 * digest_size;
        // The parse runs whatever the length said: its TypeError for values
        // that have a length but are neither text nor bytes must surface.
        if (!parses_as_hex(data)) needs_hash = true;
        if (!needs_hash) return data;
        // _hash as the module holds it now, like a global of the module.
        return pyb::handle(this_module).attr("_hash")(data, algo);
      },
      "Returns the hexadecimal digest of data, or data itself when it already is one.", "data"_a,
      "algorithm"_a = sha384);
}
