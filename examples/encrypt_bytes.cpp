// Encrypts and authenticates a byte string with the velna core from C++.
#include <cstdio>
#include <string>

#include "velna/crypto/aes.h"
#include "velna/crypto/digest.h"
#include "velna/crypto/hmac.h"
#include "velna/crypto/random.h"

int main() {
  const std::string message = "A small secret, kept by velna.";
  velna::SecretBytes cipher_key = velna::random_secret(velna::aes::kKeyLength);
  velna::SecretBytes mac_key = velna::random_secret(velna::hmac::kKeyLength);
  velna::aes::Iv iv = velna::aes::make_iv();

  velna::Bytes ciphertext = velna::aes::ctr_transform(cipher_key, iv, velna::as_bytes(message));
  velna::hmac::Sha384Tag tag = velna::hmac::sha384(mac_key, ciphertext);

  velna::hmac::verify_sha384(mac_key, ciphertext, tag);
  velna::Bytes plaintext = velna::aes::ctr_transform(cipher_key, iv, ciphertext);
  std::printf("%s\n%s\n", std::string(velna::as_chars(plaintext)).c_str(),
              velna::hex_digest(velna::HashKind::Sha384, plaintext).c_str());
  return std::string(velna::as_chars(plaintext)) == message ? 0 : 1;
}
