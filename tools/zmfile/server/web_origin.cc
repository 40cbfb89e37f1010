#include "server/web_origin.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cctype>

#include "server/ascii_text.h"

namespace zimrax::zmfile {

int DefaultPort(std::string_view scheme) {
  if (scheme == "http") return 80;
  if (scheme == "https") return 443;
  return 0;
}

std::string Bracketed(std::string_view inner) {
  std::string out;
  out.reserve(inner.size() + 2);
  out.push_back('[');
  out.append(inner);
  out.push_back(']');
  return out;
}

std::optional<std::string> CanonicalHost(std::string_view host) {
  if (host.empty()) return std::nullopt;
  boost::system::error_code error;
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    const auto address = boost::asio::ip::make_address_v6(std::string(host.substr(1, host.size() - 2)), error);
    if (error) return std::nullopt;
    return Bracketed(address.to_string());
  }
  const auto v4 = boost::asio::ip::make_address_v4(std::string(host), error);
  if (!error) return v4.to_string();
  const bool name_characters = std::all_of(host.begin(), host.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
  });
  if (!name_characters) return std::nullopt;
  return Lowered(host);
}

std::optional<int> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  int port = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + (c - '0');
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

std::optional<Authority> ParseAuthority(std::string_view text) {
  std::string_view host = text;
  std::string_view port;
  bool has_port = false;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = text.substr(0, close + 1);
    const std::string_view after = text.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      has_port = true;
    }
  } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    has_port = true;
  }
  Authority authority;
  const std::optional<std::string> canonical = CanonicalHost(host);
  if (!canonical) return std::nullopt;
  authority.host = *canonical;
  if (has_port) {
    authority.port = ParsePort(port);
    if (!authority.port) return std::nullopt;
  }
  return authority;
}

std::optional<WebOrigin> ParseWebOrigin(std::string_view text, bool allow_rest) {
  const auto separator = text.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  WebOrigin origin;
  origin.scheme = Lowered(text.substr(0, separator));
  const int default_port = DefaultPort(origin.scheme);
  if (default_port == 0) return std::nullopt;
  std::string_view authority = text.substr(separator + 3);
  const auto end = authority.find_first_of("/?#");
  if (end != std::string_view::npos) {
    if (!allow_rest) return std::nullopt;
    authority = authority.substr(0, end);
  }
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  const std::optional<Authority> parsed = ParseAuthority(authority);
  if (!parsed) return std::nullopt;
  origin.host = parsed->host;
  origin.port = parsed->port.value_or(default_port);
  return origin;
}

}  // namespace zimrax::zmfile
