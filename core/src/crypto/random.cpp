#include "velna/crypto/random.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <string>

#include "internal/openssl.h"

namespace velna {

void fill_random(MutableByteView out) {
  if (out.size() > kMaxRandomRequest)
    throw InvalidArgument("Cannot draw more than " + std::to_string(kMaxRandomRequest) +
                          " random bytes at once.");
  if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
    if (!out.empty()) OPENSSL_cleanse(out.data(), out.size());
    internal::fail<AssertionFailure>("Failed to get random bytes.");
  }
}

Bytes random_bytes(std::size_t n) {
  Bytes out(n);
  fill_random(out);
  return out;
}

SecretBytes random_secret(std::size_t n) {
  SecretBytes out(n);
  fill_random(out.mutable_view());
  return out;
}

}  // namespace velna
