// velna.crypto.hmac: HMAC operations that ensure data integrity, HMAC-SHA384
// by default.
#include <pybind11/pybind11.h>

#include "velna/crypto/hmac.h"
#include "velna/crypto/random.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;

constexpr int kFipsIndex = 0;
PyObject* crypto_package = nullptr;
PyObject* own_engine = nullptr;

// engine is HMAC[FIPS_INDEX] as the table holds it now; null when it is
// still our own HMAC-SHA384 engine, which the core runs directly.
pyb::object engine(pyb::module_& m) {
  pyb::object e = m.attr("HMAC")[pyb::int_(kFipsIndex)];
  if (e.ptr() == own_engine) return {};
  return e;
}

}  // namespace

PYBIND11_MODULE(hmac, m) {
  velna::py::ModuleSetup setup(m);
  m.doc() = "HMAC operations that ensure data integrity, HMAC-SHA384 by default.";
  auto lib = pyb::module_::import("velna._cryptolib");
  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto;
  crypto_package = crypto.inc_ref().ptr();

  pyb::object sha384 = lib.attr("hashes").attr("SHA384")();
  pyb::object sha384_engine = pyb::module_::import("functools")
                                  .attr("partial")(lib.attr("HMAC"), "algorithm"_a = sha384,
                                                   "backend"_a = crypto.attr("backend"));
  own_engine = sha384_engine.inc_ref().ptr();
  pyb::dict table;
  table[pyb::int_(0)] = sha384_engine;
  m.attr("HMAC") = table;
  m.attr("FIPS_INDEX") = kFipsIndex;
  m.attr("HMAC_KEY_LENGTH") = velna::hmac::kKeyLength;

  m.def(
      "generate_key",
      [m]() -> pyb::object {
        pyb::object random = pyb::reinterpret_borrow<pyb::object>(crypto_package).attr("random");
        std::size_t n = m.attr("HMAC_KEY_LENGTH").cast<std::size_t>();
        if (velna::py::is_native("velna.crypto.random", random))
          return velna::py::new_bytes(n, [n](std::uint8_t* out) { velna::fill_random({out, n}); });
        return random(n);
      },
      "Generates a random HMAC key.");

  m.def(
      "digest",
      [m](pyb::object private_key, pyb::object data) mutable -> pyb::object {
        if (pyb::object e = engine(m)) {
          pyb::object ctx = e(private_key);
          ctx.attr("update")(data);
          return ctx.attr("finalize")();
        }
        velna::ByteView key = velna::py::bytes_arg(private_key, "key");
        velna::ByteView d = velna::py::bytes_arg(data, "data");
        return velna::py::new_bytes(
            velna::hmac::kSha384TagSize,
            [&](std::uint8_t* out) { velna::hmac::sha384(key, d, out); }, d.size());
      },
      "Computes the HMAC digest of data.", "private_key"_a, "data"_a);

  m.def(
      "verify",
      [m](pyb::object private_key, pyb::object data, pyb::object digest) mutable {
        if (pyb::object e = engine(m)) {
          pyb::object ctx = e(private_key);
          ctx.attr("update")(data);
          ctx.attr("verify")(digest);
          return;
        }
        velna::ByteView key = velna::py::bytes_arg(private_key, "key");
        velna::ByteView d = velna::py::bytes_arg(data, "data");
        velna::ByteView tag = velna::py::bytes_arg(digest, "signature");
        if (d.size() >= velna::py::kReleaseGilAbove) {
          pyb::gil_scoped_release nogil;
          velna::hmac::verify_sha384(key, d, tag);
        } else {
          velna::hmac::verify_sha384(key, d, tag);
        }
      },
      "Verifies the HMAC digest of data.", "private_key"_a, "data"_a, "digest"_a);
  // The container module runs the core directly while these are our own.
  for (const char* name : {"digest", "verify"})
    velna::py::register_native((std::string("velna.crypto.hmac.") + name).c_str(), m.attr(name));
}
