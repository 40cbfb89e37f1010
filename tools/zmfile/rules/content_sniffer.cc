#include "content_sniffer.h"

#include <magic.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace zimrax::zmfile {
namespace {

// The checks a MIME type needs. Off: decompression (and its helper
// processes), and the structure walks whose result the type does not need
// or that parse deep into hostile bytes (ELF details, CDF, OS/2 app types,
// tar headers). The text checks stay: without the encoding check,
// libmagic calls HTML and CSV plain text.
constexpr int kMagicFlags = MAGIC_MIME_TYPE | MAGIC_NO_CHECK_COMPRESS | MAGIC_NO_COMPRESS_FORK | MAGIC_NO_CHECK_ELF |
                            MAGIC_NO_CHECK_CDF | MAGIC_NO_CHECK_APPTYPE | MAGIC_NO_CHECK_TAR;

// One libmagic cookie, used by one thread at a time.
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

// libmagic cookies, lent one at a time. A cookie holds its own copy of the
// compiled database (about 10 MiB), and a sniff is pure CPU work, so more
// cookies than cores would only cost memory: a sniff that finds none free
// makes one while there are fewer than one per core, and otherwise waits for
// one to come back (by then a core is free to run it). The free list has
// room for every cookie, so returning one never allocates.
class CookiePool {
 public:
  class Lease {
   public:
    Lease(CookiePool& pool, std::unique_ptr<Cookie> cookie) : pool_(pool), cookie_(std::move(cookie)) {}
    ~Lease() { pool_.Return(std::move(cookie_)); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    const Cookie& operator*() const { return *cookie_; }

   private:
    CookiePool& pool_;
    std::unique_ptr<Cookie> cookie_;
  };

  CookiePool() : max_cookies_(std::max(2u, std::thread::hardware_concurrency())) { free_.reserve(max_cookies_); }

  Lease Take() {
    std::unique_lock lock(mutex_);
    returned_.wait(lock, [this] { return !free_.empty() || made_ < max_cookies_; });
    if (free_.empty()) {
      ++made_;
      lock.unlock();
      // Loading the database takes milliseconds: not under the lock.
      try {
        return Lease(*this, std::make_unique<Cookie>());
      } catch (...) {
        lock.lock();
        --made_;
        returned_.notify_one();
        throw;
      }
    }
    std::unique_ptr<Cookie> cookie = std::move(free_.back());
    free_.pop_back();
    return Lease(*this, std::move(cookie));
  }

 private:
  void Return(std::unique_ptr<Cookie> cookie) {
    {
      const std::lock_guard lock(mutex_);
      free_.push_back(std::move(cookie));
    }
    returned_.notify_one();
  }

  const std::size_t max_cookies_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<Cookie>> free_;
  std::size_t made_ = 0;
};

CookiePool& Cookies() {
  static CookiePool pool;
  return pool;
}

}  // namespace

std::string SniffMimeType(std::span<const std::uint8_t> prefix) noexcept {
  try {
    const CookiePool::Lease cookie = Cookies().Take();
    const magic_t magic = (*cookie).get();
    if (magic == nullptr) return {};
    const std::size_t length = std::min(prefix.size(), kMaxSniffBytes);
    const char* type = magic_buffer(magic, prefix.data(), length);
    return type != nullptr ? std::string(type) : std::string();
  } catch (...) {
    return {};
  }
}

bool ContentSnifferWorks(std::string* why) {
  const CookiePool::Lease cookie = Cookies().Take();
  if ((*cookie).get() != nullptr) return true;
  *why = "libmagic: " + (*cookie).error();
  return false;
}

}  // namespace zimrax::zmfile
