// The user and password of an HTTP Basic Authorization header.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BASIC_CREDENTIALS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BASIC_CREDENTIALS_H_

#include <optional>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

struct BasicCredentials {
  std::string user;
  std::string password;
};

// Decodes "Basic <base64 of user:password>" (scheme case-insensitive,
// spaces around the token allowed). Returns nullopt for another scheme,
// malformed base64, a decoded text without ':', or a NUL byte (crypt(3)
// would check the password only up to it).
std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BASIC_CREDENTIALS_H_
