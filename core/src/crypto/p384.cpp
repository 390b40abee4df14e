#include "velna/crypto/p384.h"

#include <optional>
#include <string>

#include "velna/error.h"
#include "velna/log.h"

namespace velna::p384 {

std::string_view message(Loader loader) {
  switch (loader) {
    case Loader::PemPublic:
      return "Public Key is not an EC P384 key in PEM format.";
    case Loader::PemPrivate:
      return "Private Key is not an EC P384 in PEM foramt.";
    case Loader::DerPublic:
      return "Public Key is not an EC P384 key in DER format.";
  }
  return {};
}

void refuse(Loader loader) {
  auto text = message(loader);
  log::write(kLogger, log::Level::Info, text);
  throw InvalidArgument(std::string(text));
}

namespace {

// guarded runs |load| and applies the curve check. The check sits outside
// the try block: a refusal thrown inside it would be caught and logged twice.
template <typename F>
auto guarded(Loader loader, F&& load) {
  std::optional<decltype(load())> key;
  try {
    key.emplace(load());
  } catch (const InvalidArgument&) {
    refuse(loader);
  } catch (const TypeMismatch&) {
    refuse(loader);
  } catch (const UnsupportedAlgorithm&) {
    refuse(loader);
  }
  if (key->curve() != ec::Curve::P384) refuse(loader);
  return std::move(*key);
}

}  // namespace

ec::PrivateKey generate_private_key() { return ec::PrivateKey::generate(ec::Curve::P384); }

ec::PublicKey load_pem_public_key(ByteView pem) {
  return guarded(Loader::PemPublic, [&] { return ec::PublicKey::from_pem(pem); });
}

ec::PrivateKey load_pem_private_key(ByteView pem) {
  return guarded(Loader::PemPrivate, [&] { return ec::PrivateKey::from_pem(pem); });
}

ec::PublicKey load_der_public_key(ByteView der) {
  return guarded(Loader::DerPublic, [&] { return ec::PublicKey::from_der(der); });
}

}  // namespace velna::p384
