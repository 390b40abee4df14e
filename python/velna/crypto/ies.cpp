// velna.crypto.ies: sealing a container's keys for one recipient (ECDH on
// P-384, X9.63 KDF, AES-256-CTR, HMAC-SHA384, ECDSA-SHA384); docs/ies.md
// describes the blob.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "velna/crypto/ec.h"
#include "velna/crypto/ies.h"
#include "velna/crypto/keys.h"
#include "velna_py.h"

namespace {

namespace pyb = pybind11;
namespace ies = velna::ies;
namespace vp = velna::py;
using namespace pyb::literals;

constexpr const char* kSigningKeys = velna::keys::kSigningSection;
constexpr const char* kDerivationKeys = velna::keys::kDerivationSection;

PyObject* g_error = nullptr;  // IESError, kept for the process

[[noreturn]] void refuse() { vp::raise_error(g_error, ies::kFailure); }

// open_failures runs |fn| and turns the scheme's one failure into IESError.
template <typename Fn>
auto open_failures(Fn&& fn) {
  try {
    return fn();
  } catch (const ies::OpenFailure&) {
    refuse();
  }
}

// container_id_of takes a UUID (or identifier text, parsed by velna.utils.UUID)
// to the 16 bytes the blob stores.
ies::ContainerId container_id_of(pyb::handle obj_id) {
  pyb::object id = vp::import_module("velna.utils").attr("UUID")(obj_id);
  pyb::object le = pyb::getattr(id, "bytes_le", pyb::none());
  if (!vp::is_bytes(le) || PyBytes_GET_SIZE(le.ptr()) != ies::kIdSize)
    vp::raise_type_error("obj_id must be a UUID");
  ies::ContainerId out;
  velna::ByteView v = vp::view_of(le);
  std::copy(v.begin(), v.end(), out.begin());
  return out;
}

std::uint64_t index_of(pyb::handle key) {
  pyb::object index = key.attr("index");
  if (!PyLong_Check(index.ptr())) vp::raise_value_error("A key's index must be an integer.");
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    vp::raise_value_error("A key's index must be an integer from 0 to 2**64 - 1.");
  }
  return v;
}

// first_valid is the ring's first active key of |section|.
pyb::object first_valid(pyb::handle ring, const char* section, const char* missing) {
  pyb::object key = ring.attr("get_first_valid")(section);
  if (key.is_none()) vp::raise_value_error(missing);
  return key;
}

template <typename K>
std::optional<K> key_object(pyb::handle key, const char* half) {
  pyb::object k = pyb::getattr(key, half, pyb::none());
  if (!pyb::isinstance<K>(k)) return std::nullopt;
  return k.cast<K>();
}

pyb::bytes encrypt(pyb::object data, pyb::object sender_keys, pyb::object recip_keys,
                   pyb::object obj_id) {
  velna::ByteView plaintext = vp::bytes_arg(data, "data");
  const ies::ContainerId id = container_id_of(obj_id);
  pyb::object signing =
      first_valid(sender_keys, kSigningKeys, "The sender's key ring holds no active signing key.");
  pyb::object derivation = first_valid(recip_keys, kDerivationKeys,
                                       "The recipient's key ring holds no active derivation key.");
  auto signing_key = key_object<velna::ec::PrivateKey>(signing, "private");
  if (!signing_key) vp::raise_value_error("The sender's signing key holds no private P-384 key.");
  auto derivation_key = key_object<velna::ec::PublicKey>(derivation, "public");
  if (!derivation_key)
    vp::raise_value_error("The recipient's derivation key holds no public P-384 key.");
  const ies::Sender sender{*signing_key, index_of(signing)};
  const ies::Recipient recipient{*derivation_key, index_of(derivation)};
  // Always long: the work is the key agreement and the signature.
  const velna::Bytes blob =
      vp::run_without_gil([&] { return ies::seal(plaintext, id, sender, recipient); });
  return vp::to_bytes(blob);
}

// ring_key is ring[section][index], or IESError when the ring has no such
// key or the key lacks the wanted half.
template <typename K>
K ring_key(pyb::handle ring, const char* section, std::uint64_t index, const char* half) {
  std::optional<K> key;
  try {
    pyb::object k = ring[pyb::str(section)][vp::steal(PyLong_FromUnsignedLongLong(index))];
    key = key_object<K>(k, half);
  } catch (pyb::error_already_set&) {
  }
  if (!key) refuse();
  return *key;
}

pyb::bytes decrypt(pyb::object data, pyb::object recip_keys, pyb::object sender_keys,
                   pyb::object obj_id) {
  velna::ByteView raw = vp::bytes_arg(data, "data");
  const ies::BlobView blob = open_failures([&] { return ies::parse(raw); });
  std::optional<ies::ContainerId> expected_id;
  if (!obj_id.is_none()) expected_id = container_id_of(obj_id);
  const auto recipient = ring_key<velna::ec::PrivateKey>(recip_keys, kDerivationKeys,
                                                         blob.recipient_key_index, "private");
  std::optional<velna::ec::PublicKey> sender;
  if (!sender_keys.is_none())
    sender =
        ring_key<velna::ec::PublicKey>(sender_keys, kSigningKeys, blob.sender_key_index, "public");
  velna::SecretBytes plaintext = open_failures([&] {
    return vp::run_without_gil([&] {
      return ies::open(blob, recipient, sender ? &*sender : nullptr,
                       expected_id ? &*expected_id : nullptr);
    });
  });
  return vp::to_bytes(plaintext);
}

// Parsed holds a blob and the view of its fields; the bytes object keeps the
// views valid.
struct Parsed {
  pyb::bytes raw;
  ies::BlobView view;
};

}  // namespace

PYBIND11_MODULE(ies, m) {
  vp::ModuleSetup setup;
  m.doc() =
      "Seals a container's keys for one recipient: ephemeral-static ECDH on P-384, the X9.63 KDF "
      "over SHA-384, AES-256-CTR with HMAC-SHA384, and an ECDSA-SHA384 signature by the sender.";
  pyb::module_::import("velna._cryptolib");
  pyb::object decryption_error = pyb::module_::import("velna.crypto.aes").attr("DecryptionError");
  g_error = vp::keep(vp::define_error(
      m, "IESError",
      "Raised for every recipient key blob that cannot be read or opened, whatever the cause.",
      decryption_error));
  m.attr("VERSION") = ies::kVersion;

  m.def("encrypt", &encrypt,
        "Seals data for the recipient's first active derivation key, bound to the container "
        "obj_id, and signs it with the sender's first active signing key. Returns the blob.",
        "data"_a, "sender_keys"_a, "recip_keys"_a, "obj_id"_a);
  m.def("decrypt", &decrypt,
        "Opens a blob with the recipient's derivation key of the index the blob records and "
        "returns the sealed data. With sender_keys, the signing key the blob carries must be "
        "that key ring's key of the recorded index, which proves who sealed it; without "
        "sender_keys, the signature is checked against the key carried in the blob, which proves "
        "the blob intact but not who sealed it. With obj_id, the blob must be bound to that "
        "container. The signature and the MAC are checked before anything is decrypted; every "
        "failure raises IESError.",
        "data"_a, "recip_keys"_a, "sender_keys"_a = pyb::none(), "obj_id"_a = pyb::none());

  pyb::class_<Parsed> parsed(m, "IESStruct", "The fields of a recipient key blob.");
  parsed
      .def_static(
          "parse",
          [](pyb::object data) {
            velna::ByteView raw = vp::bytes_arg(data, "data");
            ies::BlobView view = open_failures([&] { return ies::parse(raw); });
            return Parsed{pyb::reinterpret_borrow<pyb::bytes>(data), view};
          },
          "Parses a blob strictly; raises IESError when it is not one.", "data"_a)
      .def_property_readonly("version", [](const Parsed& p) { return p.view.version; })
      .def_property_readonly("recipient_key_index",
                             [](const Parsed& p) { return p.view.recipient_key_index; })
      .def_property_readonly("sender_key_index",
                             [](const Parsed& p) { return p.view.sender_key_index; })
      .def_property_readonly("container_id",
                             [](const Parsed& p) {
                               return vp::import_module("uuid").attr("UUID")(
                                   "bytes_le"_a = vp::to_bytes(p.view.container_id));
                             })
      .def_property_readonly("raw", [](const Parsed& p) { return p.raw; });
  const std::pair<const char*, velna::ByteView ies::BlobView::*> fields[] = {
      {"sender_public_key", &ies::BlobView::sender_public_key},
      {"ephemeral_public_key", &ies::BlobView::ephemeral_public_key},
      {"iv", &ies::BlobView::iv},
      {"ciphertext", &ies::BlobView::ciphertext},
      {"mac", &ies::BlobView::mac},
      {"signature", &ies::BlobView::signature}};
  for (const auto& [name, member] : fields)
    parsed.def_property_readonly(
        name, [member = member](const Parsed& p) { return vp::to_bytes(p.view.*member); });
  parsed.def("__repr__", [](const Parsed& p) {
    return "<IESStruct version=" + std::to_string(p.view.version) +
           " recipient_key_index=" + std::to_string(p.view.recipient_key_index) +
           " sender_key_index=" + std::to_string(p.view.sender_key_index) +
           " ciphertext=" + std::to_string(p.view.ciphertext.size()) + " bytes>";
  });
}
