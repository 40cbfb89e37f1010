// The addresses a server is reached at from outside, given by the operator
// (--public-url): a scheme, a host, a port and the path under which a
// reverse proxy forwards to this server.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_PUBLIC_URL_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_PUBLIC_URL_H_

#include <optional>
#include <string>
#include <string_view>

#include "server/web_origin.h"

namespace zimrax::zmfile {

struct PublicUrl {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower case; an IPv6 address in brackets, as written in a URL
  int port = 0;        // the one given, else 80 or 443 by scheme
  std::string path;    // starts with "/"; "/" when none was given
  // scheme://host[:port]/path, the port left out when it is the scheme's default.
  std::string Text() const;
};

// Parses http[s]://host[:port][/path]. Returns nullopt, with the reason in
// *why, for another scheme, user information, a missing or malformed host,
// a port outside 1-65535, a query or a fragment.
std::optional<PublicUrl> ParsePublicUrl(std::string_view text, std::string* why);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_PUBLIC_URL_H_
