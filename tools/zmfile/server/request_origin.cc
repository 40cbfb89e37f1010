#include "server/request_origin.h"

#include <algorithm>
#include <cctype>

#include "server/ascii_text.h"
#include "server/bind_policy.h"
#include "server/web_origin.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

std::string_view View(boost::beast::string_view text) { return {text.data(), text.size()}; }

constexpr std::size_t kQuotedHostLimit = 200;

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

Refusal SiteRefusal(int status, std::string message) { return Refusal{status, std::move(message), RefusalKind::kSite}; }

void AddOnce(std::vector<WebOrigin>& origins, WebOrigin origin) {
  if (std::find(origins.begin(), origins.end(), origin) == origins.end()) origins.push_back(std::move(origin));
}

}  // namespace

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
  if (hosts > 1) return SiteRefusal(400, "The request has more than one Host header.");
  if (hosts == 0 && version >= 11) return SiteRefusal(400, "An HTTP/1.1 request needs a Host header.");
  if (hosts == 1) {
    const std::string_view host = Trimmed(View(headers[http::field::host]));
    if (!IsOwnHost(host, own)) {
      return SiteRefusal(421, "This server does not answer for the host " + Quoted(host) + ".");
    }
  }
  if (method == http::verb::get || method == http::verb::head) return std::nullopt;

  const std::string site = Lowered(Trimmed(View(headers["Sec-Fetch-Site"])));
  if (!site.empty() && site != "same-origin" && site != "none") {
    return SiteRefusal(403, "Requests from other sites are not accepted here (Sec-Fetch-Site: " + Quoted(site) + ").");
  }
  const std::size_t origins = headers.count(http::field::origin);
  if (origins > 1) return SiteRefusal(403, "The request has more than one Origin header.");
  if (origins == 1) {
    const std::string_view origin = Trimmed(View(headers[http::field::origin]));
    if (origin == "null") return SiteRefusal(403, "Requests from an opaque origin (Origin: null) are not accepted.");
    if (!IsOwnOrigin(ParseWebOrigin(origin, false), own)) {
      return SiteRefusal(
          403, "Requests from the origin " + Quoted(origin) + " are not accepted; only from this server's own pages.");
    }
    return std::nullopt;
  }
  if (headers.count(http::field::referer) > 0) {
    const std::string_view referer = Trimmed(View(headers[http::field::referer]));
    if (headers.count(http::field::referer) > 1 || !IsOwnOrigin(ParseWebOrigin(referer, true), own)) {
      return SiteRefusal(403,
                         "Requests from pages of other origins are not accepted; only from this server's own pages.");
    }
  }
  return std::nullopt;
}

}  // namespace zimrax::zmfile
