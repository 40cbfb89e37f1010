#include "server/body_spool.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kFlushSize = std::size_t{1} << 20;

// Opens a temporary file that has no name, in $TMPDIR or /tmp. Returns -1
// on failure.
int OpenAnonymousFile() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // Filesystems without O_TMPFILE: create a named file and unlink it at once.
  std::string pattern = std::string(dir) + "/zmfile-body-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

}  // namespace

BodySpool::BodySpool(std::uint64_t expected_length) : expected_(expected_length) {
  if (expected_ > kInMemoryLimit) {
    fd_ = OpenAnonymousFile();
    if (fd_ < 0) {
      Fail(std::string("cannot create a temporary file: ") + std::strerror(errno));
      return;
    }
    buffer_.reserve(kFlushSize);
  } else {
    buffer_.reserve(static_cast<std::size_t>(expected_));
  }
}

BodySpool::~BodySpool() {
  if (mapping_ != nullptr) ::munmap(mapping_, static_cast<std::size_t>(expected_));
  if (fd_ >= 0) ::close(fd_);
}

void BodySpool::Fail(const std::string& what) {
  if (error_.empty()) error_ = what;
}

bool BodySpool::Append(const char* data, std::size_t size) {
  if (!error_.empty()) return false;
  if (size > expected_ - received_) {
    Fail("the body is longer than its Content-Length");
    return false;
  }
  received_ += size;
  buffer_.insert(buffer_.end(), data, data + size);
  if (fd_ >= 0 && buffer_.size() >= kFlushSize) return Flush();
  return true;
}

bool BodySpool::Flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(std::string("cannot write the temporary file: ") + std::strerror(errno));
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool BodySpool::Finish() {
  if (!error_.empty()) return false;
  if (received_ != expected_) {
    Fail("the body ended after " + std::to_string(received_) + " of " + std::to_string(expected_) + " bytes");
    return false;
  }
  if (fd_ < 0) {
    bytes_ = buffer_;
    return true;
  }
  if (!Flush()) return false;
  std::vector<std::uint8_t>().swap(buffer_);
  void* mapping = ::mmap(nullptr, static_cast<std::size_t>(expected_), PROT_READ, MAP_PRIVATE, fd_, 0);
  if (mapping == MAP_FAILED) {
    Fail(std::string("cannot map the temporary file: ") + std::strerror(errno));
    return false;
  }
  mapping_ = mapping;
  ::madvise(mapping_, static_cast<std::size_t>(expected_), MADV_SEQUENTIAL);
  bytes_ = {static_cast<const std::uint8_t*>(mapping_), static_cast<std::size_t>(expected_)};
  return true;
}

}  // namespace zimrax::zmfile
