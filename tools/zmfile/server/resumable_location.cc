#include "server/resumable_location.h"

#include "server/ascii_text.h"
#include "server/resumable_replies.h"

namespace zimrax::zmfile {
namespace {

bool NamesUrl(const PublicUrl& url, const std::string& host) {
  const int default_port = url.scheme == "https" ? 443 : 80;
  if (host == url.host + ":" + std::to_string(url.port)) return true;
  return url.port == default_port && host == url.host;
}

// The path prefix to put before "resumable/": "/" or "/sub/".
std::string PrefixFor(const std::vector<PublicUrl>& public_urls, std::string_view host) {
  if (public_urls.empty()) return "/";
  const std::string lowered = Lowered(std::string(host));
  for (const PublicUrl& url : public_urls) {
    if (NamesUrl(url, lowered)) return url.path;
  }
  for (const PublicUrl& url : public_urls) {
    if (url.path != public_urls.front().path) return "/";
  }
  return public_urls.front().path;
}

}  // namespace

std::string UploadLocation(const std::vector<PublicUrl>& public_urls, std::string_view host, std::string_view id) {
  // PublicUrl paths end with "/"; kResumablePath starts with one.
  return PrefixFor(public_urls, host) + std::string(kResumablePath.substr(1)) + std::string(id);
}

}  // namespace zimrax::zmfile
