// The two kinds of key a user holds, signing keys and key-derivation keys,
// as key files, key rings and public-key records name them.
#pragma once

#include <string_view>

namespace velna::keys {

enum class Kind { Signing, Derivation };

// The section of a key file (and of a key ring) that holds each kind.
inline constexpr char kSigningSection[] = "signingKeys";
inline constexpr char kDerivationSection[] = "derivationKeys";

constexpr std::string_view section(Kind kind) {
  return kind == Kind::Signing ? kSigningSection : kDerivationSection;
}

// A public-key record names its kind in keyType: "auth" is a signing key,
// any other name a key-derivation key.
inline constexpr char kSigningRecordType[] = "auth";
// record_type is the keyType a stored key row of |section| is read back
// with: "auth" for the signing section, "signing" for any other (which
// kind_of_record reads as a key-derivation key, as rows always have been).
constexpr std::string_view record_type(std::string_view section) {
  return section == kSigningSection ? std::string_view(kSigningRecordType) : "signing";
}
constexpr Kind kind_of_record(std::string_view key_type) {
  return key_type == kSigningRecordType ? Kind::Signing : Kind::Derivation;
}

}  // namespace velna::keys
