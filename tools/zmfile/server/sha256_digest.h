// SHA-256 of a byte stream, fed in pieces (OpenSSL's EVP digest).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_SHA256_DIGEST_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_SHA256_DIGEST_H_

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace zimrax::zmfile {

class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  void Update(std::span<const std::uint8_t> bytes);
  // The digest of everything fed, as 64 lower-case hex digits. The digest
  // starts again empty afterwards.
  std::string HexFinal();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_SHA256_DIGEST_H_
