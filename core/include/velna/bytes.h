// Byte views and a buffer for secrets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velna {

using ByteView = std::span<const std::uint8_t>;
using MutableByteView = std::span<std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

inline std::string_view as_chars(ByteView b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// SecretBytes owns key material: it never reallocates after construction and
// wipes its memory with OPENSSL_cleanse when destroyed.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t n);
  explicit SecretBytes(ByteView data);
  SecretBytes(const SecretBytes& other);
  SecretBytes& operator=(const SecretBytes& other);
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  ~SecretBytes();

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  ByteView view() const { return {data_, size_}; }
  MutableByteView mutable_view() { return {data_, size_}; }
  operator ByteView() const { return view(); }

 private:
  void release();
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

// constant_time_equal compares two byte strings without a data-dependent
// early exit; strings of different lengths are unequal.
bool constant_time_equal(ByteView a, ByteView b);

// check_length_field refuses a record to write whose length field |name|
// holds |stored| for a byte string of |actual| bytes: BuildError "<name> does
// not match the bytes that follow it".
void check_length_field(std::string_view name, std::uint64_t stored, std::size_t actual);

// to_hex writes |data| as lower-case hexadecimal, two characters per byte.
std::string to_hex(ByteView data);

}  // namespace velna
