// velna.crypto.container: container keys, the payload portions, the
// container, and the binary layouts of the container blob and key blob.
//
// The classes are plain Python classes (so that they subclass, compare and
// carry attributes as Python objects do) whose methods are C++ functions;
// the byte formats and the section cryptography run in the core.
//
// Speed: the operations call one another through Python only where a
// caller has replaced the member involved. While a class still resolves a
// member to the function installed here (and, for a method, the instance
// does not shadow it), the C++ behind it is called directly; attribute names
// are interned once. Inside a container, the sections of the payloads are
// read-only views into the container blob that become bytes of their own only
// when read from Python, so a large content is encrypted straight into the
// blob and decrypted straight out of it.
#include <pybind11/pybind11.h>

#include <array>
#include <optional>
#include <string>

#include "fast_path.h"
#include "json_text.h"
#include "plain_class.h"
#include "provider_scope.h"
#include "py_compat.h"
#include "record_fields.h"
#include "timestamps.h"
#include "uuids.h"
#include "velna/crypto/aes.h"
#include "velna/crypto/container.h"
#include "velna/crypto/random.h"
#include "velna/error.h"
#include "velna/log.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace vc = velna::container;
namespace vp = velna::py;
namespace compat = vp::compat;
using namespace pyb::literals;
using velna::ByteView;
using vp::borrow;
using vp::call0;
using vp::call1;
using vp::dict_discard;
using vp::dict_get;
using vp::dict_set;
using vp::get;
using vp::instance_dict;
using vp::set;
using vp::steal;
using vp::truthy;

// Objects of this module, made at load and kept for the life of the process.
PyObject* g_module = nullptr;
PyObject* g_record = nullptr;  // the parsed-record type (a dict with attribute access)
PyObject* g_container_keys = nullptr;
PyObject* g_header = nullptr;
PyObject* g_uuid4 = nullptr;
bool g_fast_uuid = false;  // while new_container_id may build uuid.UUID objects itself
PyObject* g_utils_uuid = nullptr;
PyObject* g_datetime = nullptr;  // datetime.datetime
PyObject* g_record_pending = nullptr;

// Attribute names, interned once.
// clang-format off
#define VELNA_CONTAINER_NAMES(X)                                                                   \
  X(_encrypted) X(_data) X(_encrypted_data) X(_section_view) X(encrypted) X(data) X(encrypt)       \
  X(decrypt) X(container) X(cipher_key) X(mac_key) X(cipher_index) X(mac_index) X(version)         \
  X(cipher_key_length) X(mac_key_length) X(header) X(content) X(id) X(type) X(container_keys)      \
  X(_created_by) X(_created_at) X(_modified_by) X(_modified_at) X(_content_cls) X(_enc_data)       \
  X(_container) X(length) X(bytes_le) X(aes) X(create_iv) X(random) X(digest) X(verify)            \
  X(InvalidSignature) X(DecryptionError) X(providers) X(get) X(session) X(user) X(crypto) X(hmac)  \
  X(HMAC_KEY_LENGTH) X(CIPHER_KEY_LENGTH) X(KEY_BLOB_VERSION) X(container_id) X(uuid4) X(is_safe)
// clang-format on

struct Names {
  VELNA_CONTAINER_NAMES(VELNA_PY_NAME_FIELD)
  PyObject* const int_ = vp::intern("int");
  PyObject* const custom_data = vp::intern(vc::kCustomDataKey.data());
  PyObject* const header_version = vp::intern(vc::kHeaderVersionKey.data());
  // The fields of the layouts' records, in their order.
  const std::array<PyObject*, 6> section = vp::intern_all(vc::kSectionFields);
  const std::array<PyObject*, 6> preamble = vp::intern_all(vc::kPreambleFields);
  const std::array<PyObject*, 3> blob = vp::intern_all(vc::kBlobFields);
  const std::array<PyObject*, 7> key_blob = vp::intern_all(vc::kKeyBlobFields);
  PyObject* const uuid_from_bytes_le_kw = vp::keep(pyb::make_tuple(borrow(bytes_le)));
};
const Names& N() { return vp::table<Names>(); }

// The members installed on the classes, which callers may replace.
struct Members {
  vp::Member raw_init, raw_data, raw_encrypted, raw_set_encrypted, raw_set_plaintext, raw_decrypt,
      raw_encrypt, raw_len, raw_encrypted_data;
  vp::Member json_encrypt, json_get_data, json_set_data, json_data;
  vp::Member header_data;
  vp::Member keys_init, keys_cipher_index, keys_mac_index, keys_cipher_key, keys_mac_key;
  vp::Member container_data, container_record, container_created_by, container_modified_by,
      container_created_at, container_modified_at;
};
Members M{};

pyb::handle H(PyObject* o) { return pyb::handle(o); }
pyb::object mod_attr(PyObject* name) { return get(H(g_module), name); }

// Our own functions of other modules, looked up at each call.
vp::Own n_random{"velna.crypto.random"};
vp::Own n_create_iv{"velna.crypto.aes.create_iv"};
vp::Own n_aes_encrypt{"velna.crypto.aes.encrypt"};
vp::Own n_aes_decrypt{"velna.crypto.aes.decrypt"};
vp::Own n_digest{"velna.crypto.hmac.digest"};
vp::Own n_verify{"velna.crypto.hmac.verify"};

// Classes of this module.
pyb::object make_class(const char* name, pyb::tuple bases, const char* doc) {
  return vp::make_class("velna.crypto.container", name, bases, doc);
}
using vp::method;
using vp::property;

// ---------------------------------------------------------------------------
// Records and layouts.

template <std::size_t Count, typename... V>
pyb::object record(const std::array<PyObject*, Count>& names, const V&... values) {
  return vp::new_record(H(g_record), names, values...);
}

using vp::record::Buffer;
using vp::record::entry;
using vp::record::u64_entry;

// A length entry, when the record has one, must match the bytes it counts.
void check_length(pyb::handle rec, const char* name, std::size_t actual) {
  int has = PySequence_Contains(rec.ptr(), pyb::str(name).ptr());
  if (has < 0) throw pyb::error_already_set();
  if (!has) return;
  velna::check_length_field(name, u64_entry(rec, name), actual);
}

// SectionFields reads a section record's byte strings (iv, encrypted,
// digest), each checked against its length entry where there is one.
struct SectionFields {
  static constexpr const auto& kNames = vc::kSectionFields;
  Buffer iv, encrypted, digest;
  explicit SectionFields(pyb::handle rec)
      : iv(entry(rec, kNames[1]), kNames[1]),
        encrypted(entry(rec, kNames[3]), kNames[3]),
        digest(entry(rec, kNames[5]), kNames[5]) {
    check_length(rec, kNames[0], iv.view().size());
    check_length(rec, kNames[2], encrypted.view().size());
    check_length(rec, kNames[4], digest.view().size());
  }
  vc::SectionView view() const { return {iv.view(), encrypted.view(), digest.view(), {}}; }
};

// Fields of parsed records are copies, or, for the records and payloads a
// container keeps of its own blob, read-only views into that blob.
class FieldMaker {
 public:
  FieldMaker(pyb::handle base, ByteView base_view, bool views)
      : base_(base), base_view_(base_view) {
    if (views) whole_ = steal(PyMemoryView_FromObject(base.ptr()));
  }
  pyb::object operator()(ByteView field) const {
    if (!whole_) return vp::to_bytes(field);
    auto start = static_cast<Py_ssize_t>(field.data() - base_view_.data());
    return steal(
        PySequence_GetSlice(whole_.ptr(), start, start + static_cast<Py_ssize_t>(field.size())));
  }

 private:
  pyb::handle base_;
  ByteView base_view_;
  pyb::object whole_;
};

pyb::object section_record(const vc::SectionView& s, const FieldMaker& field) {
  return record(N().section, s.iv.size(), field(s.iv), s.encrypted.size(), field(s.encrypted),
                s.digest.size(), field(s.digest));
}

pyb::object preamble_record(const vc::Preamble& p) {
  return record(N().preamble, p.version, vp::to_bytes(p.oid), p.cipher_index, p.mac_index,
                p.header_length, p.content_length);
}

pyb::object blob_record(const vc::BlobView& b, const FieldMaker& field) {
  return record(N().blob, preamble_record(b.preamble), section_record(b.header, field),
                section_record(b.content, field));
}

vc::Preamble preamble_fields(pyb::handle rec) {
  const auto& f = vc::kPreambleFields;
  vc::Preamble p;
  p.version = u64_entry(rec, f[0]);
  p.oid = vc::oid_from(Buffer(entry(rec, f[1]), f[1]).view());
  p.cipher_index = u64_entry(rec, f[2]);
  p.mac_index = u64_entry(rec, f[3]);
  p.header_length = u64_entry(rec, f[4]);
  p.content_length = u64_entry(rec, f[5]);
  return p;
}

enum class LayoutKind { Section, Blob, KeyBlob };

struct Layout {
  LayoutKind kind;
};

pyb::object key_blob_record(const vc::KeyBlobView& k) {
  return record(N().key_blob, k.version, k.cipher_index, k.cipher_key.size(),
                vp::to_bytes(k.cipher_key), k.mac_index, k.mac_key.size(), vp::to_bytes(k.mac_key));
}

pyb::bytes build_key_blob_from(pyb::handle rec) {
  const auto& f = vc::kKeyBlobFields;
  std::uint64_t ci = u64_entry(rec, f[1]);
  std::uint64_t mi = u64_entry(rec, f[4]);
  Buffer ck(entry(rec, f[3]), f[3]);
  Buffer mk(entry(rec, f[6]), f[6]);
  check_length(rec, f[2], ck.view().size());
  check_length(rec, f[5], mk.view().size());
  std::size_t n = vc::key_blob_size(ck.view().size(), mk.view().size());
  return vp::new_bytes(n, [&](std::uint8_t* out) {
    vc::write_key_blob(ci, ck.view(), mi, mk.view(), {out, n});
  });
}

pyb::bytes build_section_from(pyb::handle rec) {
  SectionFields f(rec);
  auto v = f.view();
  std::size_t n = vc::section_size(v);
  return vp::new_bytes(n, [&](std::uint8_t* out) { vc::write_section(v, {out, n}); });
}

pyb::bytes build_blob_from(pyb::handle rec) {
  const auto& f = vc::kBlobFields;
  vc::Preamble p = preamble_fields(entry(rec, f[0]));
  SectionFields h(entry(rec, f[1]));
  SectionFields c(entry(rec, f[2]));
  auto hv = h.view(), cv = c.view();
  std::size_t n = vc::blob_size(hv, cv);
  return vp::new_bytes(n, [&](std::uint8_t* out) { vc::write_blob(p, hv, cv, {out, n}); });
}

// ---------------------------------------------------------------------------
// ContainerKeys: reading the fields of keys, through the installed properties
// while they are ours.

pyb::object keys_record(pyb::handle self) { return get(self, N().container); }

pyb::object key_field(pyb::handle keys, const vp::Member& field) {
  if (!field.property_of(keys)) return get(keys, field.name);
  pyb::object rec = keys_record(keys);
  return steal(PyObject_GetItem(rec.ptr(), field.name));
}
pyb::object keys_cipher_key(pyb::handle k) { return key_field(k, M.keys_cipher_key); }
pyb::object keys_mac_key(pyb::handle k) { return key_field(k, M.keys_mac_key); }

// ---------------------------------------------------------------------------
// Section encryption, with the late lookups of crypto.aes, crypto.random and
// the hmac functions: while they are still our own, the core does the work
// in one pass into one allocation.

pyb::object crypto_pkg() { return mod_attr(N().crypto); }
pyb::object hmac_mod() { return mod_attr(N().hmac); }

ByteView plaintext_view(pyb::handle ptxt) {
  if (vp::is_text(ptxt)) return velna::as_bytes(vp::text_utf8(ptxt));
  if (vp::is_bytes(ptxt)) return vp::view_of(ptxt);
  vp::raise_value_error("Can only encrypt str or bytes");
}

// The functions a section encryption reaches, looked up at the call.
struct EncryptTools {
  pyb::object crypto, aes, create_iv, encrypt, digest, random;
  EncryptTools() {
    crypto = crypto_pkg();
    aes = get(crypto, N().aes);
    create_iv = get(aes, N().create_iv);
    encrypt = get(aes, N().encrypt);
    digest = get(hmac_mod(), N().digest);
    random = get(crypto, N().random);
  }
  // all_native: the core may draw the IV, encrypt and digest by itself.
  bool all_native() {
    return n_create_iv.is(create_iv) && n_random.is(random) && n_aes_encrypt.is(encrypt) &&
           n_digest.is(digest);
  }
};

pyb::bytes encrypt_section_py(pyb::handle ptxt, pyb::handle keys) {
  ByteView plain = plaintext_view(ptxt);
  EncryptTools tools;
  const bool own_iv = n_create_iv.is(tools.create_iv) && n_random.is(tools.random);
  pyb::object iv = own_iv ? pyb::object() : call0(tools.create_iv);
  pyb::object cipher_key = keys_cipher_key(keys);
  pyb::object mac_key = keys_mac_key(keys);
  if (n_aes_encrypt.is(tools.encrypt) && n_digest.is(tools.digest)) {
    ByteView ck = vp::bytes_arg(cipher_key, "key");
    ByteView mk = vp::bytes_arg(mac_key, "key");
    std::size_t n = vc::section_size(plain.size());
    if (own_iv) {
      velna::aes::check_parameters(ck, velna::aes::Iv{});
      return vp::new_bytes(n, [&](std::uint8_t* out) {
        vc::encrypt_section(ck, mk, plain, {out, n});
      });
    }
    ByteView ivv = vp::bytes_arg(iv, "nonce");
    velna::aes::check_parameters(ck, ivv);
    return vp::new_bytes(n, [&](std::uint8_t* out) {
      vc::encrypt_section_with_iv(ck, mk, ivv, plain, {out, n});
    });
  }
  if (!iv) iv = call0(tools.create_iv);
  pyb::object data = vp::is_text(ptxt) ? pyb::object(vp::to_bytes(plain)) : borrow(ptxt.ptr());
  pyb::object ct = tools.encrypt("iv"_a = iv, "cipher_key"_a = cipher_key, "data"_a = data);
  pyb::object dg = tools.digest(mac_key, ct);
  Buffer ivb(iv, "iv"), ctb(ct, "encrypted"), dgb(dg, "digest");
  vc::SectionView v{ivb.view(), ctb.view(), dgb.view(), {}};
  std::size_t n = vc::section_size(v);
  return vp::new_bytes(n, [&](std::uint8_t* out) { vc::write_section(v, {out, n}); });
}

[[noreturn]] void digest_failure() {
  velna::log::write(vc::kLogger, velna::log::Level::Error, vc::kDigestFailure);
  // crypto.aes may be missing; then its AttributeError stands in.
  pyb::object aes = get(crypto_pkg(), N().aes);
  vp::raise_error(get(aes, N().DecryptionError), vc::kDigestFailure);
}

pyb::bytes decrypt_section_py(pyb::handle ciphertxt, pyb::handle keys) {
  pyb::object holder;
  ByteView data = vp::stable_bytes(ciphertxt, holder);
  vc::SectionView s = vc::parse_section(data);
  pyb::object verify = get(hmac_mod(), N().verify);
  pyb::object mac_key = keys_mac_key(keys);
  if (n_verify.is(verify)) {
    ByteView mk = vp::bytes_arg(mac_key, "key");
    bool ok =
        vp::run_released(s.encrypted.size(), [&] { return vc::section_digest_matches(mk, s); });
    if (!ok) digest_failure();
  } else {
    try {
      verify(mac_key, vp::to_bytes(s.encrypted), vp::to_bytes(s.digest));
    } catch (pyb::error_already_set& e) {
      if (e.matches(get(crypto_pkg(), N().InvalidSignature))) digest_failure();
      throw;
    }
  }
  pyb::object aes = get(crypto_pkg(), N().aes);
  pyb::object decrypt = get(aes, N().decrypt);
  pyb::object cipher_key = keys_cipher_key(keys);
  if (n_aes_decrypt.is(decrypt)) {
    ByteView ck = vp::bytes_arg(cipher_key, "key");
    velna::aes::check_parameters(ck, s.iv);
    return vp::new_bytes(s.encrypted.size(), [&](std::uint8_t* out) {
      velna::aes::ctr_transform(ck, s.iv, s.encrypted, out);
    });
  }
  return decrypt("cipher_key"_a = cipher_key, "iv"_a = vp::to_bytes(s.iv),
                 "data"_a = vp::to_bytes(s.encrypted));
}

// ---------------------------------------------------------------------------
// ContainerKeys

pyb::object draw(pyb::handle count) {
  pyb::object random = get(crypto_pkg(), N().random);
  if (n_random.is(random) && PyLong_CheckExact(count.ptr())) {
    Py_ssize_t n = PyLong_AsSsize_t(count.ptr());
    if (n >= 0 && static_cast<std::size_t>(n) <= velna::kMaxRandomRequest) {
      auto size = static_cast<std::size_t>(n);
      return vp::new_bytes(size, [size](std::uint8_t* out) { velna::fill_random({out, size}); });
    }
    PyErr_Clear();
  }
  return call1(random, count);
}

void keys_init(pyb::object self, pyb::object cipher_index, pyb::object mac_index,
               pyb::object cipher_key, pyb::object mac_key) {
  pyb::object ck = truthy(cipher_key) ? cipher_key : draw(mod_attr(N().CIPHER_KEY_LENGTH));
  pyb::object mk = truthy(mac_key) ? mac_key : draw(get(hmac_mod(), N().HMAC_KEY_LENGTH));
  set(self, N().container,
      record(N().key_blob, mod_attr(N().KEY_BLOB_VERSION), cipher_index, pyb::int_(pyb::len(ck)),
             ck, mac_index, pyb::int_(pyb::len(mk)), mk));
}

// new_keys is ContainerKeys(cipher_index=..., mac_index=..., cipher_key=...,
// mac_key=...), or ContainerKeys() when |copy_of| is null.
pyb::object new_keys(pyb::handle copy_of) {
  pyb::handle cls = H(g_container_keys);
  if (!copy_of) {
    if (!vp::constructs_directly(cls, M.keys_init.installed)) return call0(cls);
    pyb::object keys = vp::allocate(cls);
    keys_init(keys, pyb::int_(0), pyb::int_(0), pyb::none(), pyb::none());
    return keys;
  }
  pyb::object ci = key_field(copy_of, M.keys_cipher_index);
  pyb::object mi = key_field(copy_of, M.keys_mac_index);
  pyb::object ck = keys_cipher_key(copy_of);
  pyb::object mk = keys_mac_key(copy_of);
  if (!vp::constructs_directly(cls, M.keys_init.installed))
    return cls("cipher_index"_a = ci, "mac_index"_a = mi, "cipher_key"_a = ck, "mac_key"_a = mk);
  pyb::object keys = vp::allocate(cls);
  keys_init(keys, ci, mi, ck, mk);
  return keys;
}

bool field_equal(pyb::handle a, pyb::handle b, bool secret) {
  if (secret && vp::is_bytes(a) && vp::is_bytes(b))
    return velna::constant_time_equal(vp::view_of(a), vp::view_of(b));
  pyb::object r = steal(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
  return truthy(r);
}

bool keys_equal(pyb::object self, pyb::object other) {
  if (!pyb::isinstance(other, pyb::type::of(self))) return false;
  pyb::object a = keys_record(self), b = keys_record(other);
  bool equal = true;
  for (const char* f : vc::kKeyBlobFields) {
    bool secret = std::string_view(f).ends_with("_key");
    // Every field is compared, so that the time taken does not tell which differs.
    equal = field_equal(a[f], b[f], secret) && equal;
  }
  return equal;
}

// ---------------------------------------------------------------------------
// Payloads. Each operation that another calls has a "call_" form that goes
// through Python only when the member was replaced.

bool payload_encrypted(pyb::handle self) { return truthy(get(self, N()._encrypted)); }

bool encrypted_of(pyb::handle p) {
  if (M.raw_encrypted.property_of(p)) return payload_encrypted(p);
  return truthy(get(p, N().encrypted));
}

// The section a payload stores: `_encrypted_data` once it exists, else the
// view into the container blob that stands for it.
pyb::object stored_section(pyb::handle p) {
  if (!M.raw_encrypted_data.property_of(p)) return get(p, N()._encrypted_data);
  pyb::object d = instance_dict(p);
  if (pyb::object v = dict_get(d, N()._encrypted_data)) return v;
  if (pyb::object v = dict_get(d, N()._section_view)) return v;
  return get(p, N()._encrypted_data);  // raises the runtime's AttributeError
}

// `_encrypted_data`, read from Python: a view becomes bytes of its own on
// first reading, so callers always see the section as bytes.
pyb::object encrypted_data_get(pyb::object self) {
  pyb::object d = instance_dict(self);
  if (pyb::object v = dict_get(d, N()._encrypted_data)) return v;
  if (pyb::object view = dict_get(d, N()._section_view)) {
    pyb::object section = steal(PyBytes_FromObject(view.ptr()));
    dict_set(d, N()._encrypted_data, section);
    dict_discard(d, N()._section_view);
    return section;
  }
  vp::raise_error(PyExc_AttributeError, "'" + std::string(Py_TYPE(self.ptr())->tp_name) +
                                            "' object has no attribute '_encrypted_data'");
}

void encrypted_data_set(pyb::object self, pyb::object value) {
  pyb::object d = instance_dict(self);
  dict_set(d, N()._encrypted_data, value);
  dict_discard(d, N()._section_view);
}

void raw_set_encrypted(pyb::handle self, pyb::handle ciphertext) {
  set(self, N()._encrypted, pyb::bool_(true));
  set(self, N()._encrypted_data, ciphertext);
}

void raw_set_plaintext(pyb::handle self, pyb::handle plaintext) {
  set(self, N()._encrypted, pyb::bool_(false));
  set(self, N()._data, plaintext);
}

// The members that the operations call on one another, through Python only
// where a caller replaced them.
void call_set_encrypted(pyb::handle p, pyb::handle v) {
  vp::call_method(M.raw_set_encrypted, p, raw_set_encrypted, v);
}
void call_set_plaintext(pyb::handle p, pyb::handle v) {
  vp::call_method(M.raw_set_plaintext, p, raw_set_plaintext, v);
}

// A payload takes a section view in place of `_encrypted_data` only when
// set_encrypted_data and `_encrypted_data` are ours: the result is then what
// set_encrypted_data with the section's bytes would have made.
bool takes_views(pyb::handle cls) {
  return M.raw_set_encrypted.on_class(cls) && M.raw_encrypted_data.on_class(cls) &&
         !vp::class_resolved(cls, N()._encrypted);
}

void set_section_view(pyb::handle p, pyb::handle view) {
  set(p, N()._encrypted, pyb::bool_(true));
  pyb::object d = instance_dict(p);
  dict_discard(d, N()._encrypted_data);
  dict_set(d, N()._section_view, view);
}

pyb::object raw_get_data(pyb::object self) {
  return payload_encrypted(self) ? get(self, N()._encrypted_data) : get(self, N()._data);
}

void raw_set_data(pyb::object self, pyb::object value) {
  if (!value.is_none() && !vp::is_bytes(value)) vp::raise_value_error("Can only set bytes.");
  call_set_plaintext(self, value);
}

// JSON text given as a string stands for the value it denotes; a string that
// is not JSON stands for itself.
pyb::object parsed_if_json(pyb::object data) {
  if (!vp::is_text(data) && !vp::is_bytes(data)) return data;
  try {
    return vp::json::loads(data);
  } catch (pyb::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return data;
  }
}

void json_set_data(pyb::object self, pyb::object data) {
  // The text is made before anything changes, so a value that cannot be
  // serialised leaves the payload as it was.
  pyb::str text = vp::json::dumps(parsed_if_json(data));
  set(self, N()._encrypted, pyb::bool_(false));
  set(self, N()._data, text);
}

pyb::object json_get_data(pyb::object self) {
  if (payload_encrypted(self)) return get(self, N()._encrypted_data);
  return vp::json::loads(get(self, N()._data));
}

void call_json_set(pyb::handle p, pyb::object v) {
  vp::call_method(
      M.json_set_data, p,
      [](pyb::handle self, pyb::handle value) {
        json_set_data(borrow(self.ptr()), borrow(value.ptr()));
      },
      v);
}
pyb::object call_json_get(pyb::handle p) {
  return vp::call_method(M.json_get_data, p,
                         [](pyb::handle self) { return json_get_data(borrow(self.ptr())); });
}

pyb::object header_get_data(pyb::object self) {
  if (payload_encrypted(self)) return get(self, N()._encrypted_data);
  pyb::object value = call_json_get(self);
  if (PyDict_Check(value.ptr())) return value.attr("get")(pyb::handle(N().custom_data));
  return value;
}

void header_set_data(pyb::object self, pyb::object data) {
  pyb::object custom = parsed_if_json(data);
  pyb::dict obj;
  dict_set(obj, N().header_version, get(H(g_header), N().version));
  dict_set(obj, N().custom_data, custom);
  call_json_set(self, obj);
}

// data_of is the payload's `data`.
pyb::object data_of(pyb::handle p) {
  PyObject* found = vp::resolved(p, N().data);
  pyb::object self = borrow(p.ptr());
  if (found == M.header_data.installed) return header_get_data(self);
  if (found == M.json_data.installed) return call_json_get(self);
  if (found == M.raw_data.installed) return raw_get_data(self);
  return get(p, N().data);
}

void set_data_of(pyb::handle p, pyb::object value) {
  PyObject* found = vp::resolved(p, N().data);
  pyb::object self = borrow(p.ptr());
  if (found == M.header_data.installed) return header_set_data(self, value);
  if (found == M.json_data.installed) return call_json_set(self, value);
  if (found == M.raw_data.installed) return raw_set_data(self, value);
  set(p, N().data, value);
}

std::size_t len_of(pyb::handle p) {
  if (M.raw_len.method_of(p)) return pyb::len(data_of(p));
  return pyb::len(p);
}

void payload_init(pyb::object self, pyb::object enc_data, pyb::object ptxt_data) {
  if (truthy(enc_data)) {
    call_set_encrypted(self, enc_data);
  } else {
    set_data_of(self, ptxt_data);
  }
}

enum class Given { Nothing, Enc, Ptxt };

// new_payload is cls(), cls(enc_data=value) or cls(ptxt_data=value).
pyb::object new_payload(pyb::handle cls, Given given, pyb::handle value) {
  if (vp::constructs_directly(cls, M.raw_init.installed)) {
    pyb::object p = vp::allocate(cls);
    pyb::object v = given == Given::Nothing ? pyb::none() : borrow(value.ptr());
    payload_init(p, given == Given::Enc ? v : pyb::none(), given == Given::Ptxt ? v : pyb::none());
    return p;
  }
  switch (given) {
    case Given::Enc:
      return borrow(cls.ptr())("enc_data"_a = value);
    case Given::Ptxt:
      return borrow(cls.ptr())("ptxt_data"_a = value);
    case Given::Nothing:
      break;
  }
  return call0(cls);
}

// new_payload_on_view is cls(enc_data=bytes(view)), without the copy when
// the class takes views.
pyb::object new_payload_on_view(pyb::handle cls, pyb::handle view) {
  if (vp::constructs_directly(cls, M.raw_init.installed) && takes_views(cls)) {
    pyb::object p = vp::allocate(cls);
    set_section_view(p, view);
    return p;
  }
  return new_payload(cls, Given::Enc, steal(PyBytes_FromObject(view.ptr())));
}

void payload_encrypt(pyb::object self, pyb::object container_keys) {
  if (payload_encrypted(self)) return;
  pyb::bytes section = encrypt_section_py(get(self, N()._data), container_keys);
  call_set_encrypted(self, section);
}

void payload_decrypt(pyb::object self, pyb::object container_keys) {
  if (!payload_encrypted(self)) return;
  pyb::bytes plain = decrypt_section_py(stored_section(self), container_keys);
  call_set_plaintext(self, plain);
}

// own_encrypt: the payload's encrypt is the one installed here.
bool own_encrypt(pyb::handle p) {
  return M.raw_encrypt.method_of(p) || M.json_encrypt.method_of(p);
}

void call_encrypt(pyb::handle p, pyb::object keys) {
  if (own_encrypt(p)) return payload_encrypt(borrow(p.ptr()), keys);
  call1(get(p, N().encrypt), keys);
}
void call_decrypt(pyb::handle p, pyb::object keys) {
  vp::call_method(
      M.raw_decrypt, p,
      [](pyb::handle self, pyb::handle k) { payload_decrypt(borrow(self.ptr()), borrow(k.ptr())); },
      keys);
}

pyb::str payload_repr(pyb::object self, const char* cls) {
  std::string pattern =
      std::string("<") + cls + (payload_encrypted(self) ? "(enc_data=" : "(ptxt_data=");
  return pyb::str(pattern) + pyb::str(data_of(self)) + pyb::str(")>");
}

bool payload_eq(pyb::object self, pyb::object other) {
  if (!pyb::isinstance(other, pyb::type::of(self))) return false;
  return field_equal(data_of(self), data_of(other), false);
}

// ---------------------------------------------------------------------------
// Container

pyb::object stamp_uuid(pyb::object value) {
  if (value.is_none()) return value;
  return call1(H(g_utils_uuid), value);
}

pyb::object stamp_time(pyb::object value) {
  if (value.is_none()) return value;
  if (!g_datetime) g_datetime = vp::keep(vp::import_module("datetime").attr("datetime"));
  int is_datetime = PyObject_IsInstance(value.ptr(), g_datetime);
  if (is_datetime < 0) throw pyb::error_already_set();
  if (is_datetime) return value;
  return vp::time::to_datetime(value);
}

// set_stamp assigns a stamp property, storing it directly while the
// property is ours.
void set_stamp(pyb::handle self, const vp::Member& stamp, PyObject* slot, pyb::object value,
               bool time) {
  if (stamp.property_of(self)) return set(self, slot, time ? stamp_time(value) : stamp_uuid(value));
  set(self, stamp.name, value);
}

pyb::object uuid_object(const vc::Oid& id);
void enable_fast_uuid4();

// uuid_from_bytes_le is UUID(bytes_le=oid), which is uuid.UUID(bytes_le=oid):
// made here while new_container_id makes its identifiers itself, the core
// putting the bytes in standard order.
pyb::object uuid_from_bytes_le(const vc::Oid& oid) {
  if (!g_uuid4) enable_fast_uuid4();
  if (g_fast_uuid) return uuid_object(vc::uuid_from_bytes_le(oid));
  pyb::object bytes_le = vp::to_bytes(oid);
  PyObject* args[] = {bytes_le.ptr()};
  return vp::call_kw(H(g_utils_uuid), N().uuid_from_bytes_le_kw, args);
}

// encrypted is true only while both payloads hold sections; reading it fails
// with AttributeError while the container has no header (inside the
// constructor).
bool container_encrypted(pyb::handle self) {
  bool h = encrypted_of(get(self, N().header));
  bool c = encrypted_of(get(self, N().content));
  return h && c;
}

// Snapshot of the payloads' own attributes, put back when an operation on
// the second payload fails after the first one changed.
struct PayloadRollback {
  pyb::object header, content, header_state, content_state;
  PayloadRollback(pyb::object h, pyb::object c)
      : header(h), content(c), header_state(copy_dict(h)), content_state(copy_dict(c)) {}
  // pybind11's dict conversion of a dict is that dict itself; a snapshot
  // needs its own copy.
  static pyb::object copy_dict(pyb::handle o) { return steal(PyDict_Copy(instance_dict(o).ptr())); }
  void restore() {
    for (auto [obj, state] : {std::pair{header, header_state}, std::pair{content, content_state}}) {
      pyb::object d = instance_dict(obj);
      PyDict_Clear(d.ptr());
      if (PyDict_Update(d.ptr(), state.ptr()) != 0) throw pyb::error_already_set();
    }
  }
};

// on_both_payloads runs |op| on the header, then the content, then |finish|;
// when any step fails both payloads are put back as they were.
template <typename F, typename G>
void on_both_payloads(pyb::object header, pyb::object content, F&& op, G&& finish) {
  PayloadRollback rollback(header, content);
  try {
    op(header);
    op(content);
    finish();
  } catch (...) {
    {
      // Restoring must not hide the original failure.
      compat::PendingError pending;
      try {
        rollback.restore();
      } catch (pyb::error_already_set&) {
      }
    }
    throw;
  }
}

// The record of a container's blob (`_container`) is made when it is first
// read: until then the instance dict holds a pending entry, (g_record_pending,
// blob), with the blob it will be parsed from. Reading it gives the same
// record object every time from then on.

void set_record_of(pyb::handle self, pyb::handle blob, pyb::handle eager_record_of) {
  if (M.container_record.property_of(self)) {
    dict_set(instance_dict(self), N()._container,
             steal(PyTuple_Pack(2, g_record_pending, blob.ptr())));
    return;
  }
  pyb::object holder;
  ByteView view = vp::stable_bytes(eager_record_of, holder);
  set(self, N()._container, blob_record(vc::parse_blob(view), FieldMaker(holder, view, true)));
}

pyb::object container_record_get(pyb::object self) {
  pyb::object d = instance_dict(self);
  pyb::object v = dict_get(d, N()._container);
  if (!v) vp::raise_error(PyExc_AttributeError, "'Container' object has no attribute '_container'");
  if (!PyTuple_CheckExact(v.ptr()) || PyTuple_GET_SIZE(v.ptr()) != 2 ||
      PyTuple_GET_ITEM(v.ptr(), 0) != g_record_pending)
    return v;
  pyb::object holder;
  ByteView view = vp::stable_bytes(PyTuple_GET_ITEM(v.ptr(), 1), holder);
  pyb::object record = blob_record(vc::parse_blob(view), FieldMaker(holder, view, true));
  dict_set(d, N()._container, record);
  return record;
}

void container_record_set(pyb::object self, pyb::object record) {
  dict_set(instance_dict(self), N()._container, record);
}

// commit_encrypted stores the blob a container encryption made.
void commit_encrypted(pyb::handle self, pyb::bytes blob, pyb::handle keys) {
  ByteView view = vp::view_of(blob);
  set_record_of(self, blob, blob);
  set(self, N()._enc_data, blob);
  set(self, N().container_keys, keys);
  set(self, N().length, pyb::int_(view.size()));
}

// encrypt_in_place encrypts both payloads straight into one new blob, when
// the payloads' encrypt and the primitives are all ours. Nothing changes
// before the blob is complete, so a failure leaves the container as it was.
bool encrypt_in_place(pyb::handle self, pyb::handle header, pyb::handle content, pyb::handle keys,
                      const vc::Oid& oid) {
  auto type_of = [](pyb::handle o) {
    return pyb::handle(reinterpret_cast<PyObject*>(Py_TYPE(o.ptr())));
  };
  if (!own_encrypt(header) || !own_encrypt(content) || !takes_views(type_of(header)) ||
      !takes_views(type_of(content)) || !M.raw_set_encrypted.method_of(header) ||
      !M.raw_set_encrypted.method_of(content))
    return false;
  // The checks fail in the order the payloads' own encryptions would fail.
  pyb::object htext = get(header, N()._data);
  ByteView hplain = plaintext_view(htext);
  EncryptTools tools;
  if (!tools.all_native()) return false;
  pyb::object ctext = get(content, N()._data);
  ByteView cplain = plaintext_view(ctext);
  pyb::object cipher_key = keys_cipher_key(keys), mac_key = keys_mac_key(keys);
  ByteView ck = vp::bytes_arg(cipher_key, "key");
  ByteView mk = vp::bytes_arg(mac_key, "key");
  velna::aes::check_parameters(ck, velna::aes::Iv{});
  const std::size_t hs = vc::section_size(hplain.size()), cs = vc::section_size(cplain.size());
  const std::size_t n = vc::blob_size(hplain.size(), cplain.size());
  pyb::bytes blob = vp::new_bytes(n, [&](std::uint8_t* out) {
    vc::encrypt_blob(oid, ck, mk, hplain, cplain, {out, n});
  });
  pyb::object whole = steal(PyMemoryView_FromObject(blob.ptr()));
  auto start = static_cast<Py_ssize_t>(vc::kPreambleSize);
  pyb::object hview =
      steal(PySequence_GetSlice(whole.ptr(), start, start + static_cast<Py_ssize_t>(hs)));
  pyb::object cview = steal(PySequence_GetSlice(whole.ptr(), start + static_cast<Py_ssize_t>(hs),
                                                start + static_cast<Py_ssize_t>(hs + cs)));
  set_section_view(header, hview);
  set_section_view(content, cview);
  commit_encrypted(self, blob, keys);
  return true;
}

pyb::object container_encrypt(pyb::object self, pyb::object container_keys) {
  pyb::object header = get(self, N().header), content = get(self, N().content);
  bool h = encrypted_of(header), c = encrypted_of(content);
  if (h && c) return pyb::none();
  if (h != c)
    vp::raise_error(
        PyExc_RuntimeError,
        "One portion of the container is encrypted and the other is not; cannot encrypt.");
  pyb::object keys = truthy(container_keys) ? container_keys : new_keys(pyb::handle());
  // The identifier's byte form is needed for the blob; ask before anything changes.
  vc::Oid oid = vc::oid_from(Buffer(get(get(self, N().id), N().bytes_le), "oid").view());
  if (encrypt_in_place(self, header, content, keys, oid)) return keys;
  on_both_payloads(
      header, content, [&](pyb::object p) { call_encrypt(p, keys); },
      [&] {
        pyb::object hs = data_of(header), cs = data_of(content);
        pyb::object hold_h, hold_c;
        vc::SectionView hv = vc::parse_section(vp::stable_bytes(hs, hold_h));
        vc::SectionView cv = vc::parse_section(vp::stable_bytes(cs, hold_c));
        vc::Preamble p = vc::make_preamble(oid, len_of(header), len_of(content));
        std::size_t n = vc::blob_size(hv, cv);
        pyb::bytes blob = vp::new_bytes(n, [&](std::uint8_t* out) {
          vc::write_blob(p, hv, cv, {out, n});
        });
        commit_encrypted(self, blob, keys);
      });
  return keys;
}

void container_decrypt(pyb::object self, pyb::object container_keys) {
  pyb::object keys = truthy(container_keys) ? container_keys : get(self, N().container_keys);
  if (keys.is_none())
    vp::raise_error(PyExc_RuntimeError, "No Container Keys exist; cannot decrypt.");
  pyb::object header = get(self, N().header), content = get(self, N().content);
  on_both_payloads(
      header, content, [&](pyb::object p) { call_decrypt(p, keys); },
      [&] { set(self, N().container_keys, new_keys(keys)); });
}

pyb::object container_get_data(pyb::object self) {
  if (container_encrypted(self)) return get(self, N()._enc_data);
  pyb::object h = data_of(get(self, N().header));
  pyb::object c = data_of(get(self, N().content));
  if (truthy(h) && truthy(c)) return pyb::repr(h) + pyb::repr(c);
  return truthy(h) ? h : c;
}

void container_set_data(pyb::object self, pyb::object data) {
  bool encrypted = true;
  // Inside the constructor the header is still None, whose `encrypted` is
  // missing: that counts as encrypted, without raising the AttributeError.
  if (!get(self, N().header).is_none()) {
    try {
      encrypted = container_encrypted(self);
    } catch (pyb::error_already_set& e) {
      if (!e.matches(PyExc_AttributeError)) throw;
    }
  }
  if (!encrypted) {
    static const char* message = "Can't set attribute for a decrypted container.";
    velna::log::write(vc::kLogger, velna::log::Level::Warning, message);
    vp::raise_error(PyExc_AttributeError, message);
  }
  pyb::object content_cls = get(self, N()._content_cls);
  pyb::object header, content, id, holder;
  if (truthy(data)) {
    // Everything is read from the blob before the container changes.
    ByteView blob = vp::stable_bytes(data, holder);
    vc::BlobView parsed = vc::parse_blob(blob);
    FieldMaker field(holder, blob, true);
    header = new_payload_on_view(H(g_header), field(parsed.header.bytes));
    content = new_payload_on_view(content_cls, field(parsed.content.bytes));
    id = uuid_from_bytes_le(parsed.preamble.oid);
  } else {
    header = new_payload(H(g_header), Given::Nothing, pyb::handle());
    call_set_encrypted(header, pyb::none());
    content = new_payload(content_cls, Given::Nothing, pyb::handle());
    call_set_encrypted(content, pyb::none());
    id = get(self, N().id);
  }
  std::size_t length = data.is_none() ? 0 : pyb::len(data);
  set(self, N()._enc_data, data);
  if (holder)
    set_record_of(self, holder, holder);
  else
    set(self, N()._container, pyb::none());
  set(self, N().header, header);
  set(self, N().content, content);
  set(self, N().id, id);
  set(self, N().length, pyb::int_(length));
}

std::size_t container_len(pyb::object self) {
  if (container_encrypted(self)) {
    pyb::object enc = get(self, N()._enc_data);
    return enc.is_none() ? 0 : pyb::len(enc);
  }
  pyb::object h = data_of(get(self, N().header));
  pyb::object c = data_of(get(self, N().content));
  if (truthy(h)) return pyb::len(h) + pyb::len(c);
  return pyb::len(c);
}

bool container_eq(pyb::object self, pyb::object other) {
  if (!pyb::isinstance(other, pyb::type::of(self))) return false;
  if (container_encrypted(self) != container_encrypted(other)) return false;
  static const char* names[] = {"id",         "data",       "access",      "container_keys",
                                "created_at", "created_by", "modified_at", "modified_by",
                                "type",       "length"};
  auto compare = [&](const char* name) {
    pyb::str n(name);
    return field_equal(vp::attr_or_none(self, n.ptr()), vp::attr_or_none(other, n.ptr()), false);
  };
  if (vp::tracing()) {
    pyb::object log = vp::get_logger(vc::kLogger);
    log.attr("debug")("Checking Container Equality.");
    for (const char* name : names)
      log.attr("debug")("%s:         %s", name, compare(name) ? "True" : "False");
  }
  bool equal = true;
  for (const char* name : names) equal = compare(name) && equal;
  return equal;
}

// logged_in_user_id reads the `id` of the active provider's session user
// inside one registry scope (nothing when there is no user or no `id`), or
// gives nothing at all when the scope handled a failure of that read.
std::optional<pyb::object> logged_in_user_id() {
  return vp::run_scoped(get(mod_attr(N().providers), N().get), [](pyb::handle provider) {
    pyb::object user = get(get(provider, N().session), N().user);
    return user.is_none() ? pyb::none() : vp::attr_or_none(user, N().id);
  });
}

// uuid_object makes the uuid.UUID of the 16 bytes |id|, as uuid.UUID(bytes=id)
// does, without the Python-level argument handling.
pyb::object uuid_object(const vc::Oid& id) { return steal(vp::uuid_of(id)); }

// new_container_id is uuid4() as the module names it now. While that is the
// standard library's generator, the core draws the identifier.
pyb::object new_container_id() {
  pyb::object generator = mod_attr(N().uuid4);
  if (!g_uuid4) enable_fast_uuid4();
  if (generator.ptr() != g_uuid4 || !g_fast_uuid) return call0(generator);
  return uuid_object(vc::new_uuid4());
}

// enable_fast_uuid4 turns new_container_id's own construction on only when
// it gives exactly what the standard library gives for the same bytes.
void enable_fast_uuid4() {
  pyb::module_ uuid = pyb::module_::import("uuid");
  g_uuid4 = vp::keep(uuid.attr("uuid4"));
  if (!pyb::getattr(H(g_uuid4), "__qualname__", pyb::none()).equal(pyb::str("uuid4")))
    return;  // already replaced: uuid4() as it is now makes the identifiers
  pyb::object type = uuid.attr("UUID");
  if (!PyType_Check(type.ptr()) || !pyb::hasattr(uuid, "SafeUUID")) return;
  vc::Oid sample;
  for (std::size_t i = 0; i < sample.size(); ++i)
    sample[i] = static_cast<std::uint8_t>(0xf1 * (i + 3));
  bool same = false;
  try {
    pyb::object ours = uuid_object(vc::uuid4_from(sample));
    pyb::object theirs =
        type("bytes"_a = vp::to_bytes({sample.data(), sample.size()}), "version"_a = 4);
    same = pyb::type::of(ours).is(type) && ours.equal(theirs) &&
           pyb::str(ours).equal(pyb::str(theirs)) &&
           get(ours, N().is_safe).is(get(theirs, N().is_safe)) &&
           pyb::object(ours.attr("version")).equal(pyb::int_(4));
  } catch (pyb::error_already_set&) {
  }
  g_fast_uuid = same;
}

void container_init(pyb::object self, pyb::object data, pyb::object content_cls,
                    pyb::kwargs kwargs) {
  set(self, N().container_keys, pyb::none());
  set(self, N().header, pyb::none());
  set(self, N().content, pyb::none());
  set(self, N().id, pyb::none());
  pyb::object type = dict_get(kwargs, N().type);
  set(self, N().type, type ? type : pyb::none());
  set_stamp(self, M.container_created_by, N()._created_by, pyb::none(), false);
  set_stamp(self, M.container_created_at, N()._created_at, vp::time::utcnow(), true);
  set_stamp(self, M.container_modified_at, N()._modified_at, pyb::none(), true);
  set_stamp(self, M.container_modified_by, N()._modified_by, pyb::none(), false);

  // The registry's scope is held only while the logged-in user is read.
  if (auto user_id = logged_in_user_id())
    set_stamp(self, M.container_created_by, N()._created_by, *user_id, false);

  set(self, N()._content_cls, content_cls);
  set(self, N()._enc_data, pyb::none());
  if (truthy(data)) {
    if (M.container_data.property_of(self)) return container_set_data(self, data);
    return set(self, N().data, data);
  }
  auto require = [&](PyObject* name) -> pyb::object {
    pyb::object v = dict_get(kwargs, name);
    if (!v) {
      PyErr_SetObject(PyExc_KeyError, name);
      throw pyb::error_already_set();
    }
    return v;
  };
  pyb::object container_id = dict_get(kwargs, N().container_id);
  set(self, N().id, container_id ? call1(H(g_utils_uuid), container_id) : new_container_id());
  set(self, N().header, new_payload(H(g_header), Given::Ptxt, require(N().header)));
  set(self, N().content, new_payload(content_cls, Given::Ptxt, require(N().content)));
}

// bind_Record binds the parsed-record type, a dict whose entries are also attributes.
void bind_Record(pyb::module_& m) {
  pyb::object record = vp::record_class("velna.crypto.container", "Container", true);
  m.attr("ConstructContainer") = record;
  g_record = vp::keep(record);
}

// bind_Layout binds the binary layouts and the section functions.
void bind_Layout(pyb::module_& m) {
  pyb::class_<Layout>(m, "_Layout", "A binary layout with build and parse.")
      .def(
          "build",
          [](const Layout& l, pyb::object obj) -> pyb::bytes {
            switch (l.kind) {
              case LayoutKind::Section:
                return build_section_from(obj);
              case LayoutKind::Blob:
                return build_blob_from(obj);
              case LayoutKind::KeyBlob:
                return build_key_blob_from(obj);
            }
            return {};
          },
          "Writes a record in this layout.", "obj"_a)
      .def(
          "parse",
          [](const Layout& l, pyb::object data) -> pyb::object {
            pyb::object holder;
            ByteView v = vp::stable_bytes(data, holder);
            FieldMaker copies(holder, v, false);
            switch (l.kind) {
              case LayoutKind::Section:
                return section_record(vc::parse_section(v), copies);
              case LayoutKind::Blob:
                return blob_record(vc::parse_blob(v), copies);
              case LayoutKind::KeyBlob:
                return key_blob_record(vc::parse_key_blob(v));
            }
            return pyb::none();
          },
          "Reads a record in this layout from the start of the data.", "data"_a);
  m.attr("ContainerSectionStruct") = Layout{LayoutKind::Section};
  m.attr("ContainerStruct") = Layout{LayoutKind::Blob};
  m.attr("ContainerKeysStruct") = Layout{LayoutKind::KeyBlob};

  m.def("_encrypt", &encrypt_section_py, "Encrypts one portion into a section.", "ptxt"_a,
        "container_keys"_a);
  m.def("_decrypt", &decrypt_section_py, "Verifies and decrypts one section.", "ciphertxt"_a,
        "container_keys"_a);
}

// bind_ContainerKeys binds ContainerKeys.
void bind_ContainerKeys(pyb::module_& m) {
  pyb::object object = borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  pyb::object keys = make_class("ContainerKeys", pyb::make_tuple(object),
                                "A container's AES key and HMAC key with their algorithm indexes.");
  M.keys_init = method(keys, "__init__", &keys_init, "cipher_index"_a = 0, "mac_index"_a = 0,
                       "cipher_key"_a = pyb::none(), "mac_key"_a = pyb::none());
  keys.attr("from_bytes") =
      pyb::module_::import("builtins")
          .attr("staticmethod")(pyb::cpp_function(
              [](pyb::object data) {
                pyb::object holder;
                vc::KeyBlobView k = vc::parse_key_blob(vp::stable_bytes(data, holder));
                return H(g_container_keys)("cipher_index"_a = pyb::int_(k.cipher_index),
                                           "mac_index"_a = pyb::int_(k.mac_index),
                                           "cipher_key"_a = vp::to_bytes(k.cipher_key),
                                           "mac_key"_a = vp::to_bytes(k.mac_key));
              },
              pyb::name("from_bytes"), "data"_a,
              "Reads container keys from a container key blob."));
  method(keys, "__bytes__",
         [](pyb::object self) { return build_key_blob_from(keys_record(self)); });
  vp::Member* key_props[] = {&M.keys_cipher_index, &M.keys_mac_index, &M.keys_cipher_key,
                             &M.keys_mac_key};
  const char* key_fields[] = {"cipher_index", "mac_index", "cipher_key", "mac_key"};
  for (int i = 0; i < 4; ++i) {
    std::string field = key_fields[i];
    *key_props[i] = property(keys, key_fields[i], [field](pyb::object self) {
      return keys_record(self)[field.c_str()];
    });
  }
  vp::equality(keys, &keys_equal);
  m.attr("ContainerKeys") = keys;
  g_container_keys = vp::keep(keys);
}

// bind_RawPayload binds RawPayload.
void bind_RawPayload(pyb::module_& m) {
  pyb::object object = borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  pyb::object raw = make_class("RawPayload", pyb::make_tuple(object),
                               "One container portion whose plaintext is a byte string.");
  M.raw_init = method(raw, "__init__", &payload_init, "enc_data"_a = pyb::none(),
                      "ptxt_data"_a = pyb::none());
  M.raw_data = property(raw, "data", &raw_get_data, pyb::cpp_function(&raw_set_data));
  M.raw_encrypted =
      property(raw, "encrypted", [](pyb::object self) { return get(self, N()._encrypted); });
  M.raw_encrypted_data =
      property(raw, "_encrypted_data", &encrypted_data_get, pyb::cpp_function(&encrypted_data_set));
  M.raw_set_encrypted = method(
      raw, "set_encrypted_data",
      [](pyb::object self, pyb::object ciphertext) { raw_set_encrypted(self, ciphertext); },
      "ciphertext"_a);
  M.raw_set_plaintext = method(
      raw, "set_plaintext_data",
      [](pyb::object self, pyb::object plaintext) { raw_set_plaintext(self, plaintext); },
      "plaintext"_a);
  M.raw_decrypt = method(raw, "decrypt", &payload_decrypt, "container_keys"_a);
  M.raw_encrypt = method(raw, "encrypt", &payload_encrypt, "container_keys"_a);
  method(raw, "__repr__", [](pyb::object self) { return payload_repr(self, "RawPayload"); });
  M.raw_len = method(raw, "__len__", [](pyb::object self) { return pyb::len(data_of(self)); });
  vp::equality(raw, &payload_eq);
  m.attr("RawPayload") = raw;
}

// bind_JSONPayload binds JSONPayload, a RawPayload of JSON text.
void bind_JSONPayload(pyb::module_& m) {
  pyb::object raw = m.attr("RawPayload");
  pyb::object jsonp = make_class("JSONPayload", pyb::make_tuple(raw),
                                 "A container portion whose plaintext is JSON text.");
  M.json_encrypt = method(jsonp, "encrypt", &payload_encrypt, "container_keys"_a);
  M.json_get_data = method(jsonp, "_get_data", &json_get_data);
  M.json_set_data = method(jsonp, "_set_data", &json_set_data, "data"_a);
  M.json_data = property(
      jsonp, "data", [](pyb::object self) { return call_json_get(self); },
      pyb::cpp_function([](pyb::object self, pyb::object value) { call_json_set(self, value); }));
  method(jsonp, "__repr__", [](pyb::object self) { return payload_repr(self, "JSONPayload"); });
  m.attr("JSONPayload") = jsonp;
}

// bind_Header binds Header, a JSONPayload.
void bind_Header(pyb::module_& m) {
  pyb::object jsonp = m.attr("JSONPayload");
  pyb::object header = make_class("Header", pyb::make_tuple(jsonp),
                                  "The container header: custom data beside the header version.");
  header.attr("version") = vc::kHeaderVersion;
  M.header_data = property(header, "data", &header_get_data, pyb::cpp_function(&header_set_data));
  m.attr("Header") = header;
  g_header = vp::keep(header);
}

// bind_Container binds Container, whose content is a RawPayload unless told otherwise.
void bind_Container(pyb::module_& m) {
  pyb::object object = borrow(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
  pyb::object raw = m.attr("RawPayload");
  pyb::object container = make_class("Container", pyb::make_tuple(object),
                                     "A container: identifier, header, content, keys and stamps.");
  method(container, "__init__", &container_init, "data"_a = pyb::none(), "content_cls"_a = raw);
  method(container, "decrypt", &container_decrypt, "container_keys"_a = pyb::none());
  method(container, "encrypt", &container_encrypt, "container_keys"_a = pyb::none());
  M.container_data =
      property(container, "data", &container_get_data, pyb::cpp_function(&container_set_data));
  M.container_record = property(container, "_container", &container_record_get,
                                pyb::cpp_function(&container_record_set));
  property(container, "encrypted", [](pyb::object self) { return container_encrypted(self); });
  vp::Member* user_props[] = {&M.container_created_by, &M.container_modified_by};
  const char* user_stamps[] = {"created_by", "modified_by"};
  for (int i = 0; i < 2; ++i) {
    std::string slot = std::string("_") + user_stamps[i];
    *user_props[i] = property(
        container, user_stamps[i], [slot](pyb::object self) { return self.attr(slot.c_str()); },
        pyb::cpp_function(
            [slot](pyb::object self, pyb::object user_id) {
              self.attr(slot.c_str()) = stamp_uuid(user_id);
            },
            "self"_a, "user_id"_a));
  }
  vp::Member* time_props[] = {&M.container_created_at, &M.container_modified_at};
  const char* time_stamps[] = {"created_at", "modified_at"};
  for (int i = 0; i < 2; ++i) {
    std::string slot = std::string("_") + time_stamps[i];
    *time_props[i] = property(
        container, time_stamps[i], [slot](pyb::object self) { return self.attr(slot.c_str()); },
        pyb::cpp_function(
            [slot](pyb::object self, pyb::object value) {
              self.attr(slot.c_str()) = stamp_time(value);
            },
            "self"_a, "value"_a));
  }
  method(container, "__len__", &container_len);
  method(container, "__repr__", [](pyb::object self) {
    return pyb::str("<Container(") + pyb::str(get(self, N().id)) + pyb::str(") Encrypted: ") +
           pyb::str(pyb::bool_(container_encrypted(self))) + pyb::str(">");
  });
  vp::equality(container, &container_eq);
  m.attr("Container") = container;
}

}  // namespace

PYBIND11_MODULE(container, m) {
  vp::ModuleSetup setup;
  m.doc() = "Encrypted containers: keys, payloads and the container blob.";
  g_module = vp::keep(m);
  g_record_pending = vp::keep(vp::allocate(H(reinterpret_cast<PyObject*>(&PyBaseObject_Type))));

  vp::bind_lazily(m, "logging", "logging");
  vp::bind_lazily(m, "datetime", "datetime", "datetime");
  vp::bind_lazily(m, "uuid4", "uuid", "uuid4");
  bind_Record(m);

  auto utils = pyb::module_::import("velna.utils");
  m.attr("UUID") = utils.attr("UUID");
  g_utils_uuid = vp::keep(utils.attr("UUID"));
  m.attr("providers") = pyb::module_::import("velna.providers");
  m.attr("crypto") = pyb::module_::import("velna.crypto");
  m.attr("hmac") = pyb::module_::import("velna.crypto.hmac");
  vp::bind_lazily(m, "log", "logging", "getLogger", vc::kLogger.data());
  m.attr("VERSION") = vc::kVersion;
  m.attr("KEY_BLOB_VERSION") = vc::kKeyBlobVersion;
  m.attr("CIPHER_KEY_LENGTH") = vc::kCipherKeyLength;

  bind_Layout(m);
  bind_ContainerKeys(m);
  bind_RawPayload(m);
  bind_JSONPayload(m);
  bind_Header(m);
  bind_Container(m);
}
