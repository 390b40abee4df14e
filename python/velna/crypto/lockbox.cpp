// velna.crypto.lockbox: the user's key file and its rescue portion, and the
// binary layouts of the file (KF) and of one section (KFSection).
//
// The classes are plain Python classes whose methods are C++ functions. The
// names a section procedure uses (crypto.random, aes.create_iv, aes.encrypt,
// aes.decrypt, pbkdf2.engines, get_hash, UUID, aes.DecryptionError) are looked
// up at each use; while they are still the package's own, the core runs the
// work directly, the key derivation with the GIL released. The codecs and
// the cryptography live in the core (velna/crypto/lockbox.h); the JSON text
// of the plaintexts is the package's JSON text codec.
#include <pybind11/pybind11.h>

#include <array>
#include <cstring>
#include <string>

#include "fast_path.h"
#include "json_text.h"
#include "plain_class.h"
#include "record_fields.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/kdf.h"
#include "velna/crypto/lockbox.h"
#include "velna/crypto/random.h"
#include "velna/error.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vl = velna::lockbox;
using namespace pyb::literals;
using velna::ByteView;

namespace vp = velna::py;
using vp::borrow;
using vp::equal;
using vp::method;
using vp::property;
using vp::steal;
using vp::truthy;

PyObject* g_module = nullptr;  // velna.crypto.lockbox, whose names are looked up at each call
PyObject* g_record = nullptr;  // parsed records: a dict with attribute access, kept

// Our own functions of other modules, looked up at each use.
vp::OwnPartial own_engine{"velna.crypto.pbkdf2.V1_PBKDF2"};
vp::Own own_encrypt{"velna.crypto.aes.encrypt"};
vp::Own own_decrypt{"velna.crypto.aes.decrypt"};
vp::Own own_random{"velna.crypto.random"};
vp::Own own_create_iv{"velna.crypto.aes.create_iv"};

struct Names {
  // The fields of the layouts' records, in their order.
  const std::array<PyObject*, 6> section = vp::intern_all(vl::kSectionFields);
  const std::array<PyObject*, 5> file = vp::intern_all(vl::kFileFields);
  VELNA_PY_NAME_FIELD(encrypt)
  VELNA_PY_NAME_FIELD(decrypt)
  VELNA_PY_NAME_FIELD(random)
  VELNA_PY_NAME_FIELD(create_iv)
};
const Names& N() { return vp::table<Names>(); }

// A module global, as a Python function of this module would read it.
pyb::object global(const char* name) { return borrow(g_module).attr(name); }

// ---------------------------------------------------------------------------
// Layouts and records.

using vp::record::Buffer;
using vp::record::entry;
using vp::record::u64_entry;

// Input of a parse: any bytes-like object; anything else, nothing included,
// is data the layout cannot be read from.
struct Input : Buffer {
  explicit Input(pyb::handle o)
      : Buffer(o, [] { throw velna::ParseError("Key file: no bytes to read from."); }) {}
};

// SectionFields reads a section record's byte strings (salt, iv, encrypted),
// each checked against its length entry.
struct SectionFields {
  static constexpr const auto& kNames = vl::kSectionFields;
  Buffer salt, iv, encrypted;
  explicit SectionFields(pyb::handle rec)
      : salt(entry(rec, kNames[1]), kNames[1]),
        iv(entry(rec, kNames[3]), kNames[3]),
        encrypted(entry(rec, kNames[5]), kNames[5]) {
    velna::check_length_field(kNames[0], u64_entry(rec, kNames[0]), salt.view().size());
    velna::check_length_field(kNames[2], u64_entry(rec, kNames[2]), iv.view().size());
    velna::check_length_field(kNames[4], u64_entry(rec, kNames[4]), encrypted.view().size());
  }
  vl::SectionView view() const { return {salt.view(), iv.view(), encrypted.view(), {}}; }
};

template <std::size_t Count, typename... V>
pyb::object record(const std::array<PyObject*, Count>& names, const V&... values) {
  return vp::new_record(g_record, names, values...);
}

pyb::object section_record(const vl::SectionView& s) {
  return record(N().section, s.salt.size(), vp::to_bytes(s.salt), s.iv.size(), vp::to_bytes(s.iv),
                s.encrypted.size(), vp::to_bytes(s.encrypted));
}

pyb::object file_record(const vl::FileView& f) {
  return record(N().file, f.version, f.key_ring_length, f.rescue_length, section_record(f.key_ring),
                section_record(f.rescue));
}

enum class LayoutKind { Section, File };
struct Layout {
  LayoutKind kind;
};

pyb::bytes build_section_from(pyb::handle rec) {
  SectionFields f(rec);
  return vp::to_bytes(vl::build_section(f.view()));
}

pyb::bytes build_file_from(pyb::handle rec) {
  const auto& f = vl::kFileFields;
  std::uint64_t version = u64_entry(rec, f[0]);
  std::uint64_t k = u64_entry(rec, f[1]);
  std::uint64_t r = u64_entry(rec, f[2]);
  SectionFields key_ring(entry(rec, f[3]));
  SectionFields rescue(entry(rec, f[4]));
  return vp::to_bytes(vl::build_file(version, k, r, key_ring.view(), rescue.view()));
}

// ---------------------------------------------------------------------------
// Section sealing and opening.

// utf8 is secret.encode("utf-8") (the runtime's AttributeError for a value
// that is not text).
pyb::object utf8(pyb::handle secret) {
  if (PyUnicode_CheckExact(secret.ptr())) return steal(PyUnicode_AsUTF8String(secret.ptr()));
  return secret.attr("encode")("utf-8");
}

// SectionKey is a derived key: in a cleansed buffer when the core derived
// it, else the bytes object the engine returned.
struct SectionKey {
  velna::SecretBytes secret;
  pyb::object object;
  pyb::object as_object() const { return object ? object : vp::to_bytes(secret); }
};

// derive is pbkdf2.engines[version](salt=salt).derive(secret.encode("utf-8")).
SectionKey derive(pyb::handle version, pyb::handle salt, pyb::handle secret) {
  pyb::object engine = global("pbkdf2").attr("engines")[version];
  if (!own_engine.is(engine)) {
    pyb::object kdf = engine("salt"_a = salt);
    pyb::object derive_fn = kdf.attr("derive");
    return {{}, derive_fn(utf8(secret))};
  }
  ByteView s = vp::bytes_arg(salt, "salt");
  pyb::object material = utf8(secret);
  ByteView m = vp::bytes_arg(material, "key_material");
  // Always long: the work is the iteration count, not the input.
  return {vp::run_without_gil([&] {
            return velna::kdf::pbkdf2_hmac(velna::HashKind::Sha384, m, s, vl::kIterations,
                                           vl::kKeyLength);
          }),
          {}};
}

// transform is aes.encrypt or aes.decrypt with the three keywords.
pyb::object transform(bool encrypt, const SectionKey& key, pyb::handle iv, pyb::handle data) {
  return vp::late_bound(
      global("aes"), encrypt ? N().encrypt : N().decrypt, encrypt ? own_encrypt : own_decrypt,
      [&]() -> pyb::object {
        pyb::object key_object;
        ByteView k;
        if (key.object) {
          key_object = key.object;
          k = vp::bytes_arg(key_object, "key");
        } else {
          k = key.secret.view();
        }
        ByteView d = vp::bytes_arg(data, "data");
        ByteView n = vp::bytes_arg(iv, "nonce");
        velna::aes::check_parameters(k, n);
        return vp::new_bytes(d.size(),
                             [&](std::uint8_t* out) { velna::aes::ctr_transform(k, n, d, out); });
      },
      [&](pyb::object fn) {
        return fn("iv"_a = iv, "cipher_key"_a = key.as_object(), "data"_a = data);
      });
}

pyb::object draw_salt() {
  return vp::late_bound(
      global("crypto"), N().random, own_random,
      [] {
        return vp::new_bytes(vl::kSaltLength, [](std::uint8_t* out) {
          velna::fill_random({out, vl::kSaltLength});
        });
      },
      [](pyb::object random) { return random(vl::kSaltLength); });
}

pyb::object draw_iv() {
  return vp::late_bound(
      global("aes"), N().create_iv, own_create_iv,
      [] { return pyb::object(vp::to_bytes(velna::aes::make_iv())); },
      [](pyb::object create_iv) { return create_iv(); });
}

// seal writes |plaintext| as a section sealed under |secret| with the engine
// of |version|: salt, IV, key, JSON text, ciphertext, in this order.
pyb::bytes seal(pyb::handle plaintext, pyb::handle secret, pyb::handle version) {
  pyb::object salt = draw_salt();
  pyb::object iv = draw_iv();
  SectionKey key = derive(version, salt, secret);
  pyb::object text = utf8(vp::json::dumps(plaintext));
  pyb::object ciphertext = transform(true, key, iv, text);
  Buffer s(salt, "salt"), n(iv, "iv"), c(ciphertext, "encrypted");
  return vp::to_bytes(vl::build_section({s.view(), n.view(), c.view(), {}}));
}

// open reads the plaintext of |section| under |secret| with the engine of
// |version|. Decrypted bytes that are not UTF-8 raise aes.DecryptionError
// with |failure|; every other error passes unchanged.
pyb::object open(const vl::SectionView& section, pyb::handle secret, pyb::handle version,
                 std::string_view failure) {
  pyb::object salt = vp::to_bytes(section.salt);
  SectionKey key = derive(version, salt, secret);
  pyb::object text =
      transform(false, key, vp::to_bytes(section.iv), vp::to_bytes(section.encrypted));
  try {
    return vp::json::loads(text);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeDecodeError)) throw;
  }
  vp::raise_error(global("aes").attr("DecryptionError"), failure);
}

// ---------------------------------------------------------------------------
// LockboxRescue

void rescue_init(pyb::object self, pyb::object enc_data, pyb::object password,
                 pyb::object version) {
  self.attr("encrypted") = pyb::bool_(true);
  self.attr("_enc_data") = enc_data;
  self.attr("version") = version;
  if (truthy(password)) {
    self.attr("encrypted") = pyb::bool_(false);
    pyb::dict plaintext;
    plaintext["password"] = password;
    self.attr("_ptxt_data") = plaintext;
  }
}

pyb::object data_of(pyb::object self) {
  return truthy(self.attr("encrypted")) ? self.attr("_enc_data") : self.attr("_ptxt_data");
}

pyb::object rescue_encrypt(pyb::object self, pyb::object passphrase) {
  if (truthy(self.attr("encrypted"))) return pyb::none();
  pyb::bytes section = seal(self.attr("_ptxt_data"), passphrase, self.attr("version"));
  self.attr("_enc_data") = section;
  self.attr("encrypted") = pyb::bool_(true);
  return self;
}

pyb::object rescue_decrypt(pyb::object self, pyb::object passphrase) {
  if (!truthy(self.attr("encrypted"))) return pyb::none();
  pyb::object stored = self.attr("_enc_data");
  Input in(stored);
  vl::SectionView section = vl::parse_section(in.view());
  pyb::object plaintext = open(section, passphrase, self.attr("version"), vl::kRescueFailure);
  self.attr("_ptxt_data") = plaintext;
  self.attr("encrypted") = pyb::bool_(false);
  return self;
}

pyb::object get_password(pyb::object self, pyb::object passphrase) {
  if (truthy(self.attr("encrypted"))) self.attr("decrypt")(passphrase);
  return self.attr("_ptxt_data")["password"];
}

// ---------------------------------------------------------------------------
// Lockbox

pyb::dict key_record(pyb::handle key) {
  pyb::dict record;
  record["active"] = key.attr("active");
  record["index"] = 0;
  record["isPublic"] = false;
  pyb::object pem = global("crypto").attr("to_pem_private")(key.attr("private"));
  record["key"] = pem.attr("decode")("utf-8");
  return record;
}

void lockbox_init(pyb::object self, pyb::object enc_data, pyb::object signing_key,
                  pyb::object derivation_key, pyb::object user_id) {
  self.attr("_enc_data") = enc_data;
  self.attr("_ptxt_data") = pyb::none();
  self.attr("user_id") = truthy(user_id) ? global("UUID")(user_id) : pyb::none();
  if (truthy(enc_data)) {
    self.attr("encrypted") = pyb::bool_(true);
    return;
  }
  // A file whose "userId" is not an identifier could never be opened again:
  // decrypt reads it back through UUID.
  if (!truthy(user_id)) vp::raise_value_error("A new key file needs its owner's user_id.");
  pyb::str user_text(user_id);
  try {
    global("UUID")(user_text);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    vp::raise_value_error("A new key file needs its owner's user_id as an identifier, not " +
                          pyb::repr(user_id).cast<std::string>() + ".");
  }
  self.attr("encrypted") = pyb::bool_(false);
  pyb::dict plaintext;
  plaintext["userId"] = user_text;
  pyb::dict derivation, signing;
  derivation["0"] = key_record(derivation_key);
  plaintext["derivationKeys"] = derivation;
  signing["0"] = key_record(signing_key);
  plaintext["signingKeys"] = signing;
  self.attr("_ptxt_data") = plaintext;
}

pyb::object lockbox_encrypt(pyb::object self, pyb::object password, pyb::object passphrase) {
  if (truthy(self.attr("encrypted"))) return pyb::none();
  pyb::object secret = global("get_hash")(password);
  pyb::bytes k = seal(self.attr("_ptxt_data"), secret, pyb::int_(vl::kVersion));
  pyb::object rescue = global("LockboxRescue")("password"_a = secret);
  rescue.attr("encrypt")(passphrase);
  pyb::object r = rescue.attr("data");
  Input kin(k), rin(r);
  self.attr("_enc_data") = vp::to_bytes(vl::join_sections(kin.view(), rin.view()));
  self.attr("encrypted") = pyb::bool_(true);
  return self;
}

pyb::object lockbox_decrypt(pyb::object self, pyb::object password) {
  if (!truthy(self.attr("encrypted"))) return pyb::none();
  pyb::object secret;
  try {
    secret = global("get_hash")(password);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    vp::raise_error(global("aes").attr("DecryptionError"), vl::kKeyRingFailure);
  }
  pyb::object stored = self.attr("_enc_data");
  Input in(stored);
  vl::FileView file = vl::parse_file(in.view());
  pyb::object plaintext = open(file.key_ring, secret, pyb::int_(file.version), vl::kKeyRingFailure);
  // Everything that can fail is done before the object changes.
  pyb::object user_id = global("UUID")(plaintext["userId"]);
  self.attr("_ptxt_data") = plaintext;
  self.attr("encrypted") = pyb::bool_(false);
  self.attr("user_id") = user_id;
  return self;
}

pyb::object lockbox_rescue(pyb::object self) {
  pyb::object stored = self.attr("_enc_data");
  Input in(stored);
  vl::FileView file = vl::parse_file(in.view());
  return global("LockboxRescue")("enc_data"_a = vp::to_bytes(file.rescue.bytes),
                                 "version"_a = pyb::int_(file.version));
}

pyb::object lockbox_version(pyb::object self) {
  pyb::object stored = self.attr("_enc_data");
  // A new key file has no stored bytes yet, hence no version.
  if (!truthy(self.attr("encrypted")) && !truthy(stored)) return pyb::none();
  Input in(stored);
  return pyb::int_(vl::parse_file(in.view()).version);
}

pyb::object make_class(const char* name, pyb::tuple bases, const char* doc) {
  return vp::make_class("velna.crypto.lockbox", name, bases, doc);
}

// make_record_class makes the parsed-record type, a dict whose entries are
// also attributes; the module keeps it without naming it.
void make_record_class() {
  g_record = vp::keep(vp::record_class("velna.crypto.lockbox", "Container", false));
}

// bind_Layout binds the binary layouts of the key file and its sections.
void bind_Layout(pyb::module_& m) {
  pyb::class_<Layout>(m, "_Layout", "A binary layout with build and parse.")
      .def(
          "build",
          [](const Layout& l, pyb::object obj) -> pyb::bytes {
            return l.kind == LayoutKind::Section ? build_section_from(obj) : build_file_from(obj);
          },
          "Writes a record in this layout.", "obj"_a)
      .def(
          "parse",
          [](const Layout& l, pyb::object data) -> pyb::object {
            Input in(data);
            if (l.kind == LayoutKind::Section) return section_record(vl::parse_section(in.view()));
            return file_record(vl::parse_file(in.view()));
          },
          "Reads a record in this layout from the start of the data.", "data"_a);
  m.attr("KFSection") = Layout{LayoutKind::Section};
  m.attr("KF") = Layout{LayoutKind::File};
  m.attr("VERSION") = vl::kVersion;
}

// bind_Lockbox binds Lockbox, the key file.
void bind_Lockbox(pyb::module_& m) {
  pyb::object object = vp::object_type();
  pyb::object lockbox = make_class("Lockbox", pyb::make_tuple(object),
                                   "A user's key file: encrypted bytes or the decrypted key ring.");
  method(lockbox, "__init__", &lockbox_init, "enc_data"_a = pyb::none(),
         "signing_key"_a = pyb::none(), "derivation_key"_a = pyb::none(),
         "user_id"_a = pyb::none());
  method(lockbox, "encrypt", &lockbox_encrypt, "password"_a, "passphrase"_a);
  method(lockbox, "decrypt", &lockbox_decrypt, "password"_a);
  property(lockbox, "data", &data_of, "The stored bytes while encrypted, else the plaintext.");
  property(lockbox, "rescue", &lockbox_rescue, "The rescue portion of the stored bytes.");
  property(
      lockbox, "checksum",
      [](pyb::object self) { return global("crypto").attr("SHA384")(self.attr("_enc_data")); },
      "The SHA-384 hex digest of the stored bytes.");
  property(lockbox, "version", &lockbox_version, "The format version of the stored bytes.");
  vp::equality(lockbox, [](pyb::object self, pyb::object other) {
    return vp::is_instance(other, vp::type_of(self)) &&
           equal(self.attr("_enc_data"), other.attr("_enc_data"));
  });
  m.attr("Lockbox") = lockbox;
}

// bind_LockboxRescue binds LockboxRescue, the rescue portion of a key file.
void bind_LockboxRescue(pyb::module_& m) {
  pyb::object object = vp::object_type();
  pyb::object rescue =
      make_class("LockboxRescue", pyb::make_tuple(object),
                 "The rescue portion of a key file: the password's hash under the passphrase.");
  method(rescue, "__init__", &rescue_init, "enc_data"_a = pyb::none(), "password"_a = pyb::none(),
         "version"_a = vl::kVersion);
  method(rescue, "encrypt", &rescue_encrypt, "passphrase"_a);
  method(rescue, "decrypt", &rescue_decrypt, "passphrase"_a);
  method(rescue, "get_password", &get_password, "passphrase"_a);
  property(rescue, "data", &data_of, "The section bytes while sealed, else the plaintext.");
  m.attr("LockboxRescue") = rescue;
}

}  // namespace

PYBIND11_MODULE(lockbox, m) {
  vp::ModuleSetup setup;
  m.doc() = "The key file: private keys sealed under the password, with a rescue portion.";
  g_module = vp::keep(m);
  auto pbkdf2 = pyb::module_::import("velna.crypto.pbkdf2");
  m.attr("pbkdf2") = pbkdf2;
  m.attr("aes") = pyb::module_::import("velna.crypto.aes");
  m.attr("get_hash") = pyb::module_::import("velna.crypto.hash").attr("get_hash");
  m.attr("UUID") = pyb::module_::import("velna.utils").attr("UUID");
  m.attr("crypto") = pyb::module_::import("velna.crypto");

  own_engine.made(pbkdf2.attr("V1_PBKDF2"));

  make_record_class();
  bind_Layout(m);
  bind_Lockbox(m);
  bind_LockboxRescue(m);
}
