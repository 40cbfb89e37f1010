#include "server/file_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string_view>
#include <utility>

#include "server/file_name_rules.h"

namespace zimrax::zmfile {
namespace {

std::int64_t MillisecondsOf(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

std::int64_t NanosecondsOf(const struct timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

bool ListedBefore(std::int64_t a_ns, const std::string& a_name, std::int64_t b_ns, const std::string& b_name) {
  return a_ns != b_ns ? a_ns > b_ns : a_name < b_name;
}

Listing ListStoredFiles(const std::string& dir, std::size_t limit, const std::optional<ListingCursor>& after) {
  Listing listing;
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) return listing;
  const int dir_fd = ::dirfd(stream);
  // A max-heap in listing order: its top is the last of the best kept so far.
  auto before = [](const StoredFile& a, const StoredFile& b) {
    return ListedBefore(a.modified_ns, a.name, b.modified_ns, b.name);
  };
  std::vector<StoredFile>& kept = listing.files;
  const std::size_t keep = limit + 1;  // one more tells whether a next page exists
  while (const struct dirent* entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (!IsListedFileName(name)) continue;
    struct stat info {};
    if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) continue;
    const std::int64_t ns = NanosecondsOf(info.st_mtim);
    if (after && !ListedBefore(after->modified_ns, after->name, ns, name)) continue;
    if (kept.size() == keep) {
      if (!ListedBefore(ns, name, kept.front().modified_ns, kept.front().name)) continue;
      std::pop_heap(kept.begin(), kept.end(), before);
      kept.pop_back();
    }
    kept.push_back({name, static_cast<std::uint64_t>(info.st_size), MillisecondsOf(info.st_mtim), ns});
    std::push_heap(kept.begin(), kept.end(), before);
  }
  ::closedir(stream);
  std::sort_heap(kept.begin(), kept.end(), before);
  if (kept.size() > limit) {
    kept.resize(limit);
    if (!kept.empty()) listing.next = ListingCursor{kept.back().modified_ns, kept.back().name};
  }
  return listing;
}

OpenedFile::OpenedFile(OpenedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(std::exchange(other.size_, 0)) {}

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

OpenedFile::~OpenedFile() {
  if (fd_ >= 0) ::close(fd_);
}

int OpenedFile::Release() { return std::exchange(fd_, -1); }

OpenedFile OpenStoredFile(const std::string& dir, const std::string& name) {
  OpenedFile opened;
  if (!IsListedFileName(name)) return opened;
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return opened;
  // O_NOFOLLOW: a symbolic link in the directory could point anywhere.
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  ::close(dir_fd);
  if (fd < 0) return opened;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return opened;
  }
  opened.fd_ = fd;
  opened.size_ = static_cast<std::uint64_t>(info.st_size);
  return opened;
}

std::string PercentEncodedKeeping(std::string_view raw, std::string_view kept) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alphanumeric =
        (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9');
    if (alphanumeric || (byte < 0x80 && kept.find(c) != std::string_view::npos)) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string AttachmentDisposition(const std::string& name) {
  std::string fallback;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    const bool printable_ascii = byte >= 0x20 && byte < 0x7f;
    // One "_" per character: UTF-8 continuation bytes add none.
    if ((byte & 0xC0) != 0x80) fallback += printable_ascii && c != '"' && c != '\\' ? c : '_';
  }
  // RFC 5987's attr-char: letters, digits and these.
  return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + PercentEncodedKeeping(name, "!#$&+-.^_`|~");
}

std::string IsoTime(std::int64_t ms_since_epoch) {
  const std::time_t seconds = static_cast<std::time_t>(ms_since_epoch / 1000);
  struct tm parts {};
  ::gmtime_r(&seconds, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

}  // namespace zimrax::zmfile
