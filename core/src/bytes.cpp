#include "velna/bytes.h"

#include <openssl/crypto.h>

#include <cstring>
#include <new>

#include "velna/error.h"

namespace velna {

SecretBytes::SecretBytes(std::size_t n) : data_(n ? new std::uint8_t[n]() : nullptr), size_(n) {}

SecretBytes::SecretBytes(ByteView data) : SecretBytes(data.size()) {
  if (size_) std::memcpy(data_, data.data(), size_);
}

SecretBytes::SecretBytes(const SecretBytes& other) : SecretBytes(other.view()) {}

SecretBytes& SecretBytes::operator=(const SecretBytes& other) {
  if (this != &other) *this = SecretBytes(other);
  return *this;
}

SecretBytes::SecretBytes(SecretBytes&& other) noexcept : data_(other.data_), size_(other.size_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = other.data_;
    size_ = other.size_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

SecretBytes::~SecretBytes() { release(); }

void SecretBytes::release() {
  if (data_) {
    OPENSSL_cleanse(data_, size_);
    delete[] data_;
  }
  data_ = nullptr;
  size_ = 0;
}

bool constant_time_equal(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void check_length_field(std::string_view name, std::uint64_t stored, std::size_t actual) {
  if (stored != actual)
    throw BuildError(std::string(name) + " does not match the bytes that follow it");
}

std::string to_hex(ByteView data) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out(data.size() * 2, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    out[2 * i] = digits[data[i] >> 4];
    out[2 * i + 1] = digits[data[i] & 0x0f];
  }
  return out;
}

}  // namespace velna
