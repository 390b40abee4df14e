// velna.crypto.keys: the key kinds, keys, key rings and the schema that loads
// stored public-key rows into a key ring.
//
// The classes are plain Python classes (so that they subclass, compare and
// carry attributes as Python objects do) whose methods are C++ functions.
// The key loaders are reached as crypto.p384, the module's name crypto
// included, looked up at each use; while
// they are still the loaders of velna.crypto.p384, the core loads the PEM
// text directly.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "fast_path.h"
#include "plain_class.h"
#include "schema.h"
#include "velna/crypto/keys.h"
#include "velna/crypto/p384.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
using namespace pyb::literals;
namespace vp = velna::py;
namespace vs = velna::py::schema;
using vp::borrow;
using vp::equal;
using vp::method;
using vp::truthy;

namespace keys = velna::keys;
constexpr const char* kAuth = keys::kSigningSection;
constexpr const char* kDerivation = keys::kDerivationSection;

PyObject* g_module = nullptr;  // velna.crypto.keys, whose names are looked up at each call

// The key loaders of velna.crypto.p384, while crypto.p384 still holds them.
struct Names {
  VELNA_PY_NAME_FIELD(load_pem_private_key)
  VELNA_PY_NAME_FIELD(load_pem_public_key)
};
const Names& N() { return vp::table<Names>(); }
vp::Own own_private_loader{"velna.crypto.p384.load_pem_private_key"};
vp::Own own_public_loader{"velna.crypto.p384.load_pem_public_key"};

pyb::object module_attr(const char* name) { return borrow(g_module).attr(name); }

pyb::object make_class(const char* name, pyb::tuple bases, const char* doc) {
  return vp::make_class("velna.crypto.keys", name, bases, doc);
}

// PEM arguments: text is taken as its UTF-8 bytes, bytes as they are; the
// loader refuses anything else like malformed key material.
velna::ByteView pem_arg(pyb::handle key, velna::p384::Loader loader) {
  if (vp::is_text(key)) return velna::as_bytes(vp::text_utf8(key));
  if (vp::is_bytes(key)) return vp::view_of(key);
  velna::p384::refuse(loader);
}

// load_pem is crypto.p384.load_pem_private_key(pem) or
// load_pem_public_key(pem) (by |kind|), looked up now.
pyb::object load_pem(velna::p384::Loader kind, pyb::handle pem) {
  const bool is_private = kind == velna::p384::Loader::PemPrivate;
  return vp::late_bound(
      module_attr("crypto").attr("p384"),
      is_private ? N().load_pem_private_key : N().load_pem_public_key,
      is_private ? own_private_loader : own_public_loader,
      [&] {
        if (is_private) return pyb::cast(velna::p384::load_pem_private_key(pem_arg(pem, kind)));
        return pyb::cast(velna::p384::load_pem_public_key(pem_arg(pem, kind)));
      },
      [&](pyb::object loader) { return loader(pem); });
}

// name_of is the text of a kind's name, empty for anything that is no
// ASCII text (which names no kind).
std::string_view name_of(pyb::handle name) {
  if (!vp::is_text(name) || !PyUnicode_IS_ASCII(name.ptr())) return {};
  return vp::text_utf8(name);
}

// ---------------------------------------------------------------------------
// Key

void key_init(pyb::object self, pyb::object key_type, pyb::object private_pem,
              pyb::object public_pem) {
  bool has_private = truthy(private_pem);
  bool has_public = truthy(public_pem);
  if (has_private && has_public)
    vp::raise_value_error("Provide either private or public key material, not both.");
  self.attr("type") = key_type;
  self.attr("active") = pyb::bool_(true);
  pyb::object priv = pyb::none();
  pyb::object pub = pyb::none();
  if (has_private) priv = load_pem(velna::p384::Loader::PemPrivate, private_pem);
  self.attr("private") = priv;
  if (has_public) pub = load_pem(velna::p384::Loader::PemPublic, public_pem);
  self.attr("public") = pub;
  if (has_private) {
    if (pyb::isinstance<velna::ec::PrivateKey>(priv))
      self.attr("public") = pyb::cast(priv.cast<const velna::ec::PrivateKey&>().public_key());
    else
      self.attr("public") = priv.attr("public_key")();
  }
}

// generate fills a new key of |kind| from crypto.ec and crypto.backend as
// the package binds them now, evaluated as the call
// crypto.ec.generate_private_key(crypto.ec.SECP384R1(), crypto.backend) is.
void generate(pyb::object self, const char* kind) {
  self.attr("type") = kind;
  self.attr("active") = pyb::bool_(true);
  pyb::object generate_private_key = module_attr("crypto").attr("ec").attr("generate_private_key");
  pyb::object curve = module_attr("crypto").attr("ec").attr("SECP384R1")();
  pyb::object priv = generate_private_key(curve, module_attr("crypto").attr("backend"));
  self.attr("private") = priv;
  self.attr("public") = priv.attr("public_key")();
}

bool key_eq(pyb::object a, pyb::object b) {
  if (!pyb::isinstance(b, pyb::type::of(a))) return false;
  if (!equal(a.attr("type"), b.attr("type")) || !equal(a.attr("active"), b.attr("active")))
    return false;
  pyb::object pa = a.attr("private"), pb = b.attr("private");
  bool ha = truthy(pa), hb = truthy(pb);
  if (ha && hb) return equal(pa.attr("private_numbers")(), pb.attr("private_numbers")());
  if (ha || hb) return false;
  pyb::object qa = a.attr("public"), qb = b.attr("public");
  if (truthy(qa) && truthy(qb))
    return equal(qa.attr("public_numbers")(), qb.attr("public_numbers")());
  return false;
}

pyb::object key_repr(pyb::object self) {
  return pyb::str("<{type} Private: {priv} Public: {pub}>")
      .format("type"_a = self.attr("type"), "priv"_a = pyb::bool_(truthy(self.attr("private"))),
              "pub"_a = pyb::bool_(truthy(self.attr("public"))));
}

// ---------------------------------------------------------------------------
// KeyRing

pyb::object section(pyb::handle ring, pyb::handle key_type) { return borrow(ring.ptr())[key_type]; }

void store(pyb::object ring, pyb::handle key_type, pyb::object key, pyb::object user_id) {
  key.attr("user_id") = user_id;
  ring.attr("user_id") = key.attr("user_id");
  pyb::object s = section(ring, key_type);
  if (PyObject_SetItem(s.ptr(), key.attr("index").ptr(), key.ptr()) != 0)
    throw pyb::error_already_set();
}

void set_private_key(pyb::object self, pyb::object key_type, pyb::object key, pyb::object lockbox) {
  pyb::object k = module_attr("Key")("key_type"_a = key_type, "private"_a = key["key"]);
  k.attr("index") = key["index"];
  k.attr("active") = key["active"];
  pyb::object user_id = module_attr("UUID")(lockbox.attr("data")["userId"]);
  store(self, key_type, k, user_id);
}

void set_public_key(pyb::object self, pyb::object key, pyb::object user_id) {
  const keys::Kind of = keys::kind_of_record(name_of(key["keyType"]));
  pyb::object kind = pyb::str(of == keys::Kind::Signing ? kAuth : kDerivation);
  pyb::object k = module_attr("Key")("key_type"_a = kind, "public"_a = key["pubKey"]);
  k.attr("index") = key["index"];
  k.attr("active") = key["active"];
  store(self, kind, k, module_attr("UUID")(user_id));
}

void ring_init(pyb::object self, pyb::object lockbox, pyb::object pub_keys, pyb::object user_id) {
  self.attr("user_id") = pyb::none();
  for (const char* kind : {kAuth, kDerivation})
    if (PyObject_SetItem(self.ptr(), pyb::str(kind).ptr(), pyb::dict().ptr()) != 0)
      throw pyb::error_already_set();
  if (truthy(lockbox)) {
    if (truthy(lockbox.attr("encrypted")))
      vp::raise_value_error("Can only accept decrypted key files.");
    for (const char* kind : {kAuth, kDerivation}) {
      pyb::object records = lockbox.attr("data")[kind];
      pyb::object set = self.attr("set_private_key");
      for (pyb::handle record : records.attr("values")()) set(pyb::str(kind), record, lockbox);
    }
    return;
  }
  if (!truthy(user_id)) {
    // As a bare assert fails: no message, no arguments.
    vp::raise_error(PyExc_AssertionError);
  }
  pyb::object set = self.attr("set_public_key");
  for (pyb::handle record : pub_keys) set(record, user_id);
}

pyb::object get_first_valid(pyb::object self, pyb::object key_type) {
  for (pyb::handle key : section(self, key_type).attr("values")())
    if (truthy(key.attr("active"))) return borrow(key.ptr());
  return pyb::none();
}

bool ring_eq(pyb::object self, pyb::object other) {
  if (!pyb::isinstance(other, pyb::type::of(self))) return false;
  return equal(self.attr("__dict__"), other.attr("__dict__"));
}

// ---------------------------------------------------------------------------
// KeyRingSchema hooks

pyb::object make_dict(pyb::object, pyb::object data, pyb::object) {
  pyb::list records;
  for (pyb::handle row : data) {
    pyb::dict r;
    r["index"] = row.attr("index");
    r["active"] = row.attr("active");
    r["pubKey"] = row.attr("pub_key");
    r["keyType"] = pyb::str(std::string(keys::record_type(name_of(row.attr("key_type")))));
    r["userId"] = pyb::str(row.attr("user_id"));
    records.append(r);
  }
  return records;
}

pyb::object make_key_ring(pyb::object, pyb::object data, pyb::object) {
  pyb::object first = data[pyb::int_(0)];
  return module_attr("KeyRing")("pub_keys"_a = data, "user_id"_a = first["userId"]);
}

}  // namespace

PYBIND11_MODULE(keys, m) {
  vp::ModuleSetup setup;
  m.doc() = "Keys, key rings and the schema of stored public keys.";
  g_module = vp::keep(m);
  vp::bind_lazily(m, "logging", "logging");
  auto crypto = pyb::module_::import("velna.crypto");
  m.attr("crypto") = crypto;
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  m.attr("Schema") = vs::base_class();
  m.attr("ValidationError") = vs::validation_error();
  vp::bind_lazily(m, "log", "logging", "getLogger", "velna.crypto.keys");

  pyb::object object = vp::object_type();

  pyb::object key_type = make_class("KeyType", pyb::make_tuple(object), "The two kinds of key.");
  key_type.attr("AUTH") = kAuth;
  key_type.attr("DERIVATION") = kDerivation;
  m.attr("KeyType") = key_type;

  vs::Definition definition;
  definition.fields = {{"index", vs::Kind::Int},
                       {"userId", vs::Kind::Str},
                       {"keyType", vs::Kind::Str},
                       {"pubKey", vs::Kind::Raw},
                       {"active", vs::Kind::Bool}};
  definition.pre_load = {{"make_dict", true}};
  definition.post_load = {{"make_key_ring", true}};
  pyb::dict schema_ns;
  schema_ns["make_dict"] = vp::instance_method(
      pyb::cpp_function(&make_dict, pyb::name("make_dict"), "self"_a, "data"_a, "many"_a,
                        "Turns stored key rows into public-key records."));
  schema_ns["make_key_ring"] = vp::instance_method(
      pyb::cpp_function(&make_key_ring, pyb::name("make_key_ring"), "self"_a, "data"_a, "many"_a,
                        "Builds the key ring of the loaded public-key records."));
  m.attr("KeyRingSchema") =
      vs::make_class("velna.crypto.keys", "KeyRingSchema",
                     "Loads stored public-key rows into a key ring.", definition, schema_ns);

  pyb::object ring = make_class("KeyRing", pyb::make_tuple(vp::dict_type()),
                                "A user's keys: signing and derivation keys by index.");
  method(ring, "__init__", &ring_init, "lockbox"_a = pyb::none(), "pub_keys"_a = pyb::none(),
         "user_id"_a = pyb::none());
  method(ring, "set_private_key", &set_private_key, "key_type"_a, "key"_a, "lockbox"_a);
  method(ring, "set_public_key", &set_public_key, "key"_a, "user_id"_a);
  method(ring, "get_first_valid", &get_first_valid, "key_type"_a);
  vp::equality(ring, &ring_eq);
  m.attr("KeyRing") = ring;

  pyb::object key =
      make_class("Key", pyb::make_tuple(object), "One P-384 key: its kind, state and halves.");
  key.attr("size") = 32;
  method(key, "__init__", &key_init, "key_type"_a, "private"_a = pyb::none(),
         "public"_a = pyb::none());
  method(key, "__repr__", &key_repr);
  vp::equality(key, &key_eq);
  m.attr("Key") = key;

  pyb::object auth = make_class("AuthKey", pyb::make_tuple(key), "A new signing key.");
  method(auth, "__init__", [](pyb::object self) { generate(self, kAuth); });
  m.attr("AuthKey") = auth;
  pyb::object derivation =
      make_class("DerivationKey", pyb::make_tuple(key), "A new key-derivation key.");
  method(derivation, "__init__", [](pyb::object self) { generate(self, kDerivation); });
  m.attr("DerivationKey") = derivation;
}
