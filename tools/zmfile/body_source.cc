#include "body_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zimrax::zmfile {

BodySource::BodySource(const std::string& path) {
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
    if (info.st_size > 0) {
      mapping_size_ = static_cast<std::size_t>(info.st_size);
      mapping_ = ::mmap(nullptr, mapping_size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        error_ = std::strerror(errno);
      } else {
        ::madvise(mapping_, mapping_size_, MADV_SEQUENTIAL);
        bytes_ = {static_cast<const std::uint8_t*>(mapping_), mapping_size_};
      }
    }
  } else {
    ReadAll(fd);
  }
  ::close(fd);
}

BodySource::~BodySource() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapping_size_);
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
