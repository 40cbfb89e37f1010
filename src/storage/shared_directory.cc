#include "storage/shared_directory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace zimrax {

SharedDirectory::~SharedDirectory() { Close(); }

void SharedDirectory::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int SharedDirectory::Open(const std::string& path) {
  if (fd_ >= 0) return 0;
  fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return fd_ >= 0 ? 0 : errno;
}

}  // namespace zimrax
