#include "server/public_url.h"

#include <algorithm>
#include <cctype>

#include "server/web_origin.h"

namespace zimrax::zmfile {

std::string PublicUrl::Text() const {
  std::string text = scheme + "://" + host;
  if (port != DefaultPort(scheme)) text.append(":").append(std::to_string(port));
  return text.append(path);
}

std::optional<PublicUrl> ParsePublicUrl(std::string_view text, std::string* why) {
  const auto separator = text.find("://");
  std::string scheme(text.substr(0, separator == std::string_view::npos ? 0 : separator));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (separator == std::string_view::npos || DefaultPort(scheme) == 0) {
    *why = "it must start with http:// or https://";
    return std::nullopt;
  }
  const std::string_view after_scheme = text.substr(separator + 3);
  const auto path_start = after_scheme.find_first_of("/?#");
  const std::string_view authority = after_scheme.substr(0, path_start);
  const std::string_view path =
      path_start == std::string_view::npos ? std::string_view() : after_scheme.substr(path_start);
  if (authority.find('@') != std::string_view::npos) {
    *why = "it may not hold a user name or password";
    return std::nullopt;
  }
  if (path.find_first_of("?#") != std::string_view::npos) {
    *why = "it may not hold a query or a fragment";
    return std::nullopt;
  }
  if (std::any_of(path.begin(), path.end(), [](unsigned char c) { return c <= 0x20 || c >= 0x7f || c == '\\'; })) {
    *why = "its path may hold only printable ASCII without blanks or backslashes";
    return std::nullopt;
  }
  const std::optional<WebOrigin> origin = ParseWebOrigin(std::string(scheme) + "://" + std::string(authority), false);
  if (!origin) {
    *why = "its host or port is not valid (a name, an IPv4 address or [IPv6], and a port from 1 to 65535)";
    return std::nullopt;
  }
  PublicUrl url;
  url.scheme = origin->scheme;
  url.host = origin->host;
  url.port = origin->port;
  // The page refers to its files relative to its own address, which must
  // therefore end with a "/".
  url.path = path.empty() ? "/" : std::string(path);
  if (!url.path.ends_with('/')) url.path += '/';
  return url;
}

}  // namespace zimrax::zmfile
