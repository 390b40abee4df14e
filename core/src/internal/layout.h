// Readers and writers of the binary layouts: unsigned 64-bit little-endian
// integers and length-prefixed byte strings.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "velna/bytes.h"
#include "velna/error.h"

namespace velna::internal {

inline constexpr std::size_t kU64 = 8;

inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (std::size_t i = kU64; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

inline std::uint8_t* store_u64(std::uint8_t* p, std::uint64_t v) {
  for (std::size_t i = 0; i < kU64; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return p + kU64;
}

inline std::uint8_t* store_bytes(std::uint8_t* p, ByteView b) {
  // memcpy's pointers must be valid even for zero bytes, and an empty span
  // may carry a null pointer.
  if (!b.empty()) std::memcpy(p, b.data(), b.size());
  return p + b.size();
}

// Reader walks a layout front to back. Every announced length is compared
// with what remains in 64-bit arithmetic before anything depends on it: a
// length that fits the remaining input also fits size_t.
class Reader {
 public:
  Reader(ByteView data, const char* layout) : data_(data), layout_(layout) {}

  std::uint64_t u64(const char* field) {
    need(kU64, field);
    std::uint64_t v = load_u64(data_.data() + pos_);
    pos_ += kU64;
    return v;
  }

  ByteView bytes(std::uint64_t length, const char* field) {
    need(length, field);
    ByteView v = data_.subspan(pos_, static_cast<std::size_t>(length));
    pos_ += static_cast<std::size_t>(length);
    return v;
  }

  // rest and skip let a nested layout read from here on; skip moves only
  // over bytes that the nested reader has already consumed.
  ByteView rest() const { return data_.subspan(pos_); }
  void skip(std::size_t n) { pos_ += n; }
  ByteView consumed() const { return data_.first(pos_); }

 private:
  void need(std::uint64_t length, const char* field) const {
    const std::size_t remaining = data_.size() - pos_;
    if (length > static_cast<std::uint64_t>(remaining))
      throw ParseError(std::string(layout_) + ": field " + field + " needs " +
                       std::to_string(length) + " bytes, " + std::to_string(remaining) +
                       " remain.");
  }

  ByteView data_;
  const char* layout_;
  std::size_t pos_ = 0;
};

}  // namespace velna::internal
