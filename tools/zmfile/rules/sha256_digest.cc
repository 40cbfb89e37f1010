#include "sha256_digest.h"

#include <openssl/evp.h>

namespace zimrax::zmfile {

Sha256Digest::Sha256Digest() : context_(EVP_MD_CTX_new()) { Reset(); }

Sha256Digest::~Sha256Digest() { EVP_MD_CTX_free(context_); }

void Sha256Digest::Reset() {
  failed_ = context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1;
}

void Sha256Digest::Update(std::span<const std::uint8_t> bytes) {
  if (failed_ || bytes.empty()) return;
  failed_ = EVP_DigestUpdate(context_, bytes.data(), bytes.size()) != 1;
}

std::string Sha256Digest::FinishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const bool ok = !failed_ && EVP_DigestFinal_ex(context_, digest, &length) == 1;
  Reset();
  if (!ok) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace zimrax::zmfile
