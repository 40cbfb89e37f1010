#include "server/sha256_digest.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace zimrax::zmfile {

struct Sha256Digest::Context {
  EVP_MD_CTX* md = nullptr;
};

Sha256Digest::Sha256Digest() : context_(std::make_unique<Context>()) {
  context_->md = EVP_MD_CTX_new();
  if (context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context_->md);
    throw std::runtime_error("SHA-256 is not available");
  }
}

Sha256Digest::~Sha256Digest() { EVP_MD_CTX_free(context_->md); }

void Sha256Digest::Update(std::span<const std::uint8_t> bytes) {
  if (!bytes.empty()) EVP_DigestUpdate(context_->md, bytes.data(), bytes.size());
}

std::string Sha256Digest::HexFinal() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context_->md, digest, &size);
  EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (unsigned int i = 0; i < size; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace zimrax::zmfile
