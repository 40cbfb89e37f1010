#include "body_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zimrax::zmfile {

// A regular file is read, not mapped: a mapped file that another process
// truncates during the save turns reads past its new end into SIGBUS (or
// zeros, within the last page), and the save would store what it never
// was. Read into memory, the body is fixed before the save starts.
BodySource::BodySource(const std::string& path, const std::function<void()>& on_size_known) {
  if (path == "-") {
    ReadAll(STDIN_FILENO);
    return;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    if (on_size_known) on_size_known();
    ReadRegular(fd, static_cast<std::size_t>(info.st_size));
  } else {
    ReadAll(fd);
  }
  ::close(fd);
}

void BodySource::ReadRegular(int fd, std::size_t size) {
  // Uninitialised: read() fills it, and zeroing a large body first costs as
  // much as a second copy.
  file_bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size + 1);
  std::size_t used = 0;
  // One byte of room past the size tells a file that grew from one that
  // kept its size.
  while (used <= size) {
    const ssize_t n = ::read(fd, file_bytes_.get() + used, size + 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = std::strerror(errno);
      return;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  if (used != size) {
    error_ = "the file changed size while it was being read (" + std::to_string(size) + " bytes, then " +
             (used > size ? "more" : std::to_string(used)) + ")";
    file_bytes_.reset();
    return;
  }
  bytes_ = {file_bytes_.get(), size};
}

void BodySource::ReadAll(int fd) {
  constexpr std::size_t kChunk = 1 << 20;
  std::size_t used = 0;
  for (;;) {
    buffer_.resize(used + kChunk);
    const ssize_t n = ::read(fd, buffer_.data() + used, kChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = std::strerror(errno);
      buffer_.clear();
      return;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  buffer_.resize(used);
  bytes_ = buffer_;
}

}  // namespace zimrax::zmfile
