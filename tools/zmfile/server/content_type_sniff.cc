#include "server/content_type_sniff.h"

#include <magic.h>

#include <memory>

namespace zimrax::zmfile {
namespace {

constexpr int kFlags = MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_CHECK_TAR | MAGIC_NO_CHECK_ELF |
                       MAGIC_NO_CHECK_CDF | MAGIC_NO_CHECK_TOKENS | MAGIC_NO_CHECK_JSON |
                       MAGIC_NO_CHECK_CSV | MAGIC_ERROR;

struct CookieCloser {
  void operator()(magic_t cookie) const { magic_close(cookie); }
};

// This thread's cookie, opened and loaded once; null when that failed.
magic_t ThreadCookie() {
  thread_local std::unique_ptr<std::remove_pointer_t<magic_t>, CookieCloser> cookie = [] {
    std::unique_ptr<std::remove_pointer_t<magic_t>, CookieCloser> opened(magic_open(kFlags));
    if (opened && magic_load(opened.get(), nullptr) != 0) opened.reset();
    return opened;
  }();
  return cookie.get();
}

}  // namespace

std::string SniffContentType(std::span<const std::uint8_t> prefix) {
  magic_t cookie = ThreadCookie();
  if (cookie == nullptr) return {};
  const char* type = magic_buffer(cookie, prefix.data(), prefix.size());
  return type == nullptr ? std::string() : std::string(type);
}

}  // namespace zimrax::zmfile
