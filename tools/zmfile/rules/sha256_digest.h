// SHA-256 of a stream of bytes, through OpenSSL's EVP interface, fed as
// the bytes go by: one context per file, no copy of the data.
#ifndef ZIMRAX_TOOLS_ZMFILE_RULES_SHA256_DIGEST_H_
#define ZIMRAX_TOOLS_ZMFILE_RULES_SHA256_DIGEST_H_

#include <cstdint>
#include <span>
#include <string>

struct evp_md_ctx_st;

namespace zimrax::zmfile {

class Sha256Digest {
 public:
  Sha256Digest();
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  // Starts over, as for no bytes.
  void Reset();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest of the bytes since the last Reset, 64 lower-case hex
  // digits; "" when OpenSSL failed. The digest starts over afterwards.
  std::string FinishHex();

 private:
  evp_md_ctx_st* context_;
  bool failed_ = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RULES_SHA256_DIGEST_H_
