// SHA-256 of a whole string in one OpenSSL call, as lowercase hex: the
// reference the streamed digests are checked against.
#ifndef ZIMRAX_TESTS_SUPPORT_ONE_SHOT_SHA256_H_
#define ZIMRAX_TESTS_SUPPORT_ONE_SHOT_SHA256_H_

#include <openssl/evp.h>

#include <string>
#include <string_view>

namespace zimrax::testing {

inline std::string OneShotSha256(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0xf];
  }
  return hex;
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_ONE_SHOT_SHA256_H_
