// Origins and URL authorities as the server compares them: a scheme, a
// host in one canonical form and a port.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_WEB_ORIGIN_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_WEB_ORIGIN_H_

#include <optional>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

// One origin: scheme, host (lower case; IP addresses in their canonical
// text, IPv6 in brackets) and port (never 0: the scheme's default filled in).
struct WebOrigin {
  std::string scheme;
  std::string host;
  int port = 0;
  bool operator==(const WebOrigin&) const = default;
};

// host[:port] of a URL or a Host header.
struct Authority {
  std::string host;         // canonical, as CanonicalHost gives it
  std::optional<int> port;  // nullopt: none given
};

// The default port of `scheme` ("http" 80, "https" 443), 0 for any other.
int DefaultPort(std::string_view scheme);

// "[" + inner + "]", written so that g++ 12 sees no overlapping copy.
std::string Bracketed(std::string_view inner);

// The host of a URL or Host header in the form it is compared in: IP
// addresses as their canonical text (IPv6 in brackets), names in lower
// case. nullopt for an empty host or one with characters no host has.
std::optional<std::string> CanonicalHost(std::string_view host);

// "1" to "65535", digits only.
std::optional<int> ParsePort(std::string_view text);

// host[:port], host being a name, an IPv4 address or [IPv6].
std::optional<Authority> ParseAuthority(std::string_view text);

// Parses "scheme://host[:port]" with, when `allow_rest`, anything from a
// "/", "?" or "#" on (a Referer). Returns nullopt for anything else: user
// information, a bad port, an unknown scheme, "null".
std::optional<WebOrigin> ParseWebOrigin(std::string_view text, bool allow_rest);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_WEB_ORIGIN_H_
