#include "velna/crypto/aes.h"

#include <climits>
#include <string>

#include "internal/openssl.h"
#include "velna/crypto/random.h"

namespace velna::aes {
namespace {

const EVP_CIPHER* cipher_for(std::size_t key_size) {
  const auto& algos = internal::algorithms();
  switch (key_size) {
    case 16:
      return algos.aes_ctr_128.get();
    case 24:
      return algos.aes_ctr_192.get();
    case 32:
      return algos.aes_ctr_256.get();
    default:
      return nullptr;
  }
}

// One EVP update takes at most INT_MAX bytes; feed in block-aligned pieces so
// the counter carries on exactly across pieces.
constexpr std::size_t kChunk = (static_cast<std::size_t>(INT_MAX) / kBlockSize) * kBlockSize;

const EVP_CIPHER* checked_cipher(ByteView key) {
  const EVP_CIPHER* cipher = cipher_for(key.size());
  if (!cipher)
    throw InvalidArgument("Invalid key size (" + std::to_string(key.size() * 8) + ") for AES.");
  return cipher;
}

void check_iv(ByteView iv) {
  if (iv.size() != kIvLength)
    throw InvalidArgument("Invalid nonce size (" + std::to_string(iv.size()) + ") for CTR.");
}

}  // namespace

void check_parameters(ByteView key, ByteView iv) {
  checked_cipher(key);
  check_iv(iv);
}

Ctr::Ctr(ByteView key) : ctx_(internal::new_cipher_ctx()) {
  internal::check(
      EVP_EncryptInit_ex2(ctx_.get(), checked_cipher(key), key.data(), nullptr, nullptr),
      "EVP_EncryptInit");
}

void Ctr::transform(ByteView iv, ByteView in, std::uint8_t* out) {
  check_iv(iv);
  // A new IV restarts the counter and keeps the key schedule.
  internal::check(EVP_EncryptInit_ex2(ctx_.get(), nullptr, nullptr, iv.data(), nullptr),
                  "EVP_EncryptInit");
  std::size_t done = 0;
  while (done < in.size()) {
    std::size_t n = std::min(kChunk, in.size() - done);
    int written = 0;
    internal::check(
        EVP_EncryptUpdate(ctx_.get(), out + done, &written, in.data() + done, static_cast<int>(n)),
        "EVP_EncryptUpdate");
    done += static_cast<std::size_t>(written);
  }
  int tail = 0;
  internal::check(EVP_EncryptFinal_ex(ctx_.get(), out + done, &tail), "EVP_EncryptFinal");
}

void ctr_transform(ByteView key, ByteView iv, ByteView in, std::uint8_t* out) {
  Ctr(key).transform(iv, in, out);
}

Bytes ctr_transform(ByteView key, ByteView iv, ByteView in) {
  Bytes out(in.size());
  ctr_transform(key, iv, in, out.data());
  return out;
}

Iv make_iv() {
  Iv iv{};
  fill_random(MutableByteView(iv.data(), kNonceLength));
  return iv;
}

}  // namespace velna::aes
