#include "body_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace zimrax::zmfile {
namespace {

// A pipe hands over at most 64 KiB at a time; larger reads cost nothing and
// cut the calls on a file.
constexpr std::size_t kReadSize = std::size_t{256} << 10;

}  // namespace

std::string ReadBodyPieces(const std::string& path, const std::function<void(std::span<const std::uint8_t>)>& piece,
                           const std::function<void()>& on_size_known) {
  const bool standard_input = path == "-";
  const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (regular && on_size_known) on_size_known();
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kReadSize);
  std::uint64_t total = 0;
  std::string error;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.get(), kReadSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::strerror(errno);
      break;
    }
    if (n == 0) break;
    total += static_cast<std::uint64_t>(n);
    piece(std::span<const std::uint8_t>(buffer.get(), static_cast<std::size_t>(n)));
  }
  if (!standard_input) ::close(fd);
  if (error.empty() && regular && total != static_cast<std::uint64_t>(info.st_size)) {
    error = "the file changed size while it was being read (" + std::to_string(info.st_size) + " bytes, then " +
            std::to_string(total) + ")";
  }
  return error;
}

}  // namespace zimrax::zmfile
