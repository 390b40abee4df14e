// Loading of P-384 keys with the curve check: anything that is not an EC key
// on P-384 is refused with one info line on "velna.crypto.p384" and an
// InvalidArgument carrying the same text.
#pragma once

#include <string_view>

#include "velna/bytes.h"
#include "velna/crypto/ec.h"

namespace velna::p384 {

inline constexpr std::string_view kLogger = "velna.crypto.p384";

enum class Loader { PemPublic, PemPrivate, DerPublic };

// message is the refusal text of |loader|.
std::string_view message(Loader loader);

// refuse logs the refusal of |loader| and throws it.
[[noreturn]] void refuse(Loader loader);

ec::PrivateKey generate_private_key();
ec::PublicKey load_pem_public_key(ByteView pem);
ec::PrivateKey load_pem_private_key(ByteView pem);
ec::PublicKey load_der_public_key(ByteView der);

}  // namespace velna::p384
