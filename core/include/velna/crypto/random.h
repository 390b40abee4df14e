// Random bytes from OpenSSL's generator.
#pragma once

#include <cstddef>

#include "velna/bytes.h"

namespace velna {

// kMaxRandomRequest is the largest count one request may ask for.
inline constexpr std::size_t kMaxRandomRequest = 0x7fffffff;

// fill_random fills |out| with random bytes. Fails with InvalidArgument for a
// request above kMaxRandomRequest and with AssertionFailure ("Failed to get
// random bytes.") when the generator does not deliver; |out| is then wiped.
void fill_random(MutableByteView out);

Bytes random_bytes(std::size_t n);
SecretBytes random_secret(std::size_t n);

}  // namespace velna
