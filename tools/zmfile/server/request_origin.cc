#include "server/request_origin.h"

#include <algorithm>
#include <boost/asio/ip/address.hpp>
#include <cctype>

#include "server/ascii_text.h"
#include "server/bind_policy.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

constexpr std::size_t kQuotedHostLimit = 200;

// "[" + inner + "]", written so that g++ 12 sees no overlapping copy.
std::string Bracketed(std::string_view inner) {
  std::string out;
  out.reserve(inner.size() + 2);
  out.push_back('[');
  out.append(inner);
  out.push_back(']');
  return out;
}

std::string_view View(boost::beast::string_view text) { return {text.data(), text.size()}; }

// The host of a URL or Host header in the form it is compared in: IP
// addresses as their canonical text (IPv6 in brackets), names in lower
// case. nullopt for an empty host or one with characters no host has.
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

// "1" to "65535", digits only.
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

struct Authority {
  std::string host;
  std::optional<int> port;  // nullopt: none given
};

// host[:port], host being a name, an IPv4 address or [IPv6].
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

bool IsOwnHost(std::string_view host_header, const std::vector<WebOrigin>& own) {
  const std::optional<Authority> authority = ParseAuthority(host_header);
  if (!authority) return false;
  return std::any_of(own.begin(), own.end(), [&](const WebOrigin& origin) {
    return origin.host == authority->host && authority->port.value_or(DefaultPort(origin.scheme)) == origin.port;
  });
}

bool IsOwnOrigin(const std::optional<WebOrigin>& origin, const std::vector<WebOrigin>& own) {
  return origin && std::find(own.begin(), own.end(), *origin) != own.end();
}

// Client text for a message: printable ASCII, at most a couple of hundred bytes.
std::string Quoted(std::string_view text) {
  std::string out;
  for (const char c : text.substr(0, kQuotedHostLimit)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return "\"" + out + (text.size() > kQuotedHostLimit ? "...\"" : "\"");
}

void AddOnce(std::vector<WebOrigin>& origins, WebOrigin origin) {
  if (std::find(origins.begin(), origins.end(), origin) == origins.end()) origins.push_back(std::move(origin));
}

}  // namespace

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

std::vector<WebOrigin> OwnOrigins(std::string_view bound_address, int port, bool tls,
                                  const std::vector<PublicUrl>& public_urls) {
  const std::string scheme = tls ? "https" : "http";
  std::vector<WebOrigin> origins;
  if (IsLoopbackHost(bound_address)) {
    for (const char* host : {"localhost", "127.0.0.1", "[::1]"}) AddOnce(origins, {scheme, host, port});
  }
  const bool ipv6 = bound_address.find(':') != std::string_view::npos && !bound_address.starts_with('[');
  const std::optional<std::string> bound = CanonicalHost(ipv6 ? Bracketed(bound_address) : std::string(bound_address));
  if (bound && *bound != "0.0.0.0" && *bound != "[::]") AddOnce(origins, {scheme, *bound, port});
  for (const PublicUrl& url : public_urls) AddOnce(origins, {url.scheme, url.host, url.port});
  return origins;
}

std::optional<Refusal> CheckRequestSite(const http::fields& headers, http::verb method, unsigned version,
                                        const std::vector<WebOrigin>& own) {
  const std::size_t hosts = headers.count(http::field::host);
  if (hosts > 1) return Refusal{400, "The request has more than one Host header."};
  if (hosts == 0 && version >= 11) return Refusal{400, "An HTTP/1.1 request needs a Host header."};
  if (hosts == 1) {
    const std::string_view host = Trimmed(View(headers[http::field::host]));
    if (!IsOwnHost(host, own)) {
      return Refusal{421, "This server does not answer for the host " + Quoted(host) + "."};
    }
  }
  if (method == http::verb::get || method == http::verb::head) return std::nullopt;

  const std::string site = Lowered(Trimmed(View(headers["Sec-Fetch-Site"])));
  if (!site.empty() && site != "same-origin" && site != "none") {
    return Refusal{403, "Requests from other sites are not accepted here (Sec-Fetch-Site: " + Quoted(site) + ")."};
  }
  const std::size_t origins = headers.count(http::field::origin);
  if (origins > 1) return Refusal{403, "The request has more than one Origin header."};
  if (origins == 1) {
    const std::string_view origin = Trimmed(View(headers[http::field::origin]));
    if (origin == "null") return Refusal{403, "Requests from an opaque origin (Origin: null) are not accepted."};
    if (!IsOwnOrigin(ParseWebOrigin(origin, false), own)) {
      return Refusal{
          403, "Requests from the origin " + Quoted(origin) + " are not accepted; only from this server's own pages."};
    }
    return std::nullopt;
  }
  if (headers.count(http::field::referer) > 0) {
    const std::string_view referer = Trimmed(View(headers[http::field::referer]));
    if (headers.count(http::field::referer) > 1 || !IsOwnOrigin(ParseWebOrigin(referer, true), own)) {
      return Refusal{403, "Requests from pages of other origins are not accepted; only from this server's own pages."};
    }
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
