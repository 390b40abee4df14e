// velna.crypto.hmac: HMAC operations that ensure data integrity, HMAC-SHA384
// by default.
#include <pybind11/pybind11.h>

#include "fast_path.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/random.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vp = velna::py;
using namespace pyb::literals;

constexpr int kFipsIndex = 0;
PyObject* crypto_package = nullptr;  // kept for the life of the process
struct Names {
  VELNA_PY_NAME_FIELD(random)
};
const Names& N() { return vp::table<Names>(); }
vp::Own own_random{"velna.crypto.random"};
vp::Own own_engine{"velna.crypto.hmac.engine"};

// engine is HMAC[FIPS_INDEX] as the table holds it now; null while it is
// still our own HMAC-SHA384 engine, which the core runs directly.
pyb::object engine(pyb::module_& m) {
  pyb::object e = m.attr("HMAC")[pyb::int_(kFipsIndex)];
  if (own_engine.is(e)) return {};
  return e;
}

}  // namespace

PYBIND11_MODULE(hmac, m) {
  vp::ModuleSetup setup;
  m.doc() = "HMAC operations that ensure data integrity, HMAC-SHA384 by default.";
  auto lib = pyb::module_::import("velna._cryptolib");
  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto;
  crypto_package = vp::keep(crypto);

  pyb::object sha384 = lib.attr("hashes").attr("SHA384")();
  pyb::object sha384_engine = pyb::module_::import("_functools")
                                  .attr("partial")(lib.attr("HMAC"), "algorithm"_a = sha384,
                                                   "backend"_a = crypto.attr("backend"));
  vp::register_native("velna.crypto.hmac.engine", sha384_engine);
  pyb::dict table;
  table[pyb::int_(0)] = sha384_engine;
  m.attr("HMAC") = table;
  m.attr("FIPS_INDEX") = kFipsIndex;
  m.attr("HMAC_KEY_LENGTH") = velna::hmac::kKeyLength;

  m.def(
      "generate_key",
      [m]() -> pyb::object {
        std::size_t n = m.attr("HMAC_KEY_LENGTH").cast<std::size_t>();
        return vp::late_bound(
            crypto_package, N().random, own_random,
            [n] {
              return vp::new_bytes(n, [n](std::uint8_t* out) { velna::fill_random({out, n}); });
            },
            [n](pyb::object random) { return random(n); });
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
        velna::ByteView key = vp::bytes_arg(private_key, "key");
        velna::ByteView d = vp::bytes_arg(data, "data");
        return vp::new_bytes(
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
        velna::ByteView key = vp::bytes_arg(private_key, "key");
        velna::ByteView d = vp::bytes_arg(data, "data");
        velna::ByteView tag = vp::bytes_arg(digest, "signature");
        vp::run_released(d.size(), [&] { velna::hmac::verify_sha384(key, d, tag); });
      },
      "Verifies the HMAC digest of data.", "private_key"_a, "data"_a, "digest"_a);
  // The container module runs the core directly while these are our own.
  for (const char* name : {"digest", "verify"})
    vp::register_native((std::string("velna.crypto.hmac.") + name).c_str(), m.attr(name));
}
