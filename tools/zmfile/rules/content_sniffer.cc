#include "content_sniffer.h"

#include <magic.h>

#include <algorithm>

namespace zimrax::zmfile {
namespace {

// The checks a MIME type needs. Off: decompression (and its helper
// processes), and the structure walks whose result the type does not need
// or that parse deep into hostile bytes (ELF details, CDF, OS/2 app types,
// tar headers). The text checks stay: without the encoding check,
// libmagic calls HTML and CSV plain text.
constexpr int kMagicFlags = MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_COMPRESS_FORK |
                            MAGIC_NO_CHECK_ELF | MAGIC_NO_CHECK_CDF | MAGIC_NO_CHECK_APPTYPE | MAGIC_NO_CHECK_TAR;

// One thread's cookie: libmagic cookies are not to be shared between threads.
class Cookie {
 public:
  Cookie() {
    magic_ = magic_open(kMagicFlags);
    if (magic_ == nullptr) {
      error_ = "magic_open failed";
      return;
    }
    const std::size_t bytes_max = kMaxSniffBytes;
    if (magic_setparam(magic_, MAGIC_PARAM_BYTES_MAX, &bytes_max) != 0 || magic_load(magic_, nullptr) != 0) {
      const char* error = magic_error(magic_);
      error_ = error != nullptr ? error : "magic_load failed";
      magic_close(magic_);
      magic_ = nullptr;
    }
  }
  ~Cookie() {
    if (magic_ != nullptr) magic_close(magic_);
  }
  Cookie(const Cookie&) = delete;
  Cookie& operator=(const Cookie&) = delete;

  magic_t get() const { return magic_; }
  const std::string& error() const { return error_; }

 private:
  magic_t magic_ = nullptr;
  std::string error_;
};

Cookie& ThreadCookie() {
  thread_local Cookie cookie;
  return cookie;
}

}  // namespace

std::string SniffMimeType(std::span<const std::uint8_t> prefix) noexcept {
  try {
    const magic_t magic = ThreadCookie().get();
    if (magic == nullptr) return {};
    const std::size_t length = std::min(prefix.size(), kMaxSniffBytes);
    const char* type = magic_buffer(magic, prefix.data(), length);
    return type != nullptr ? std::string(type) : std::string();
  } catch (...) {
    return {};
  }
}

bool ContentSnifferWorks(std::string* why) {
  const Cookie& cookie = ThreadCookie();
  if (cookie.get() != nullptr) return true;
  *why = "libmagic: " + cookie.error();
  return false;
}

}  // namespace zimrax::zmfile
