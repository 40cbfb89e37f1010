// The baseline of the save benchmark: one plain write() of a byte range of
// a body to a new file. The body is read into memory first (not timed);
// prints the seconds that the write itself took.
//
//   plain_write BODY OFFSET LENGTH OUTPUT
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: plain_write BODY OFFSET LENGTH OUTPUT\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t offset = std::strtoull(argv[2], nullptr, 10);
  const std::size_t length = std::strtoull(argv[3], nullptr, 10);
  if (offset + length > body.size()) {
    std::fprintf(stderr, "plain_write: range outside the body\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open(argv[4], O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) {
    std::perror("plain_write: open");
    return 1;
  }
  const char* next = body.data() + offset;
  std::size_t remaining = length;
  while (remaining > 0) {
    const ssize_t written = ::write(fd, next, remaining);
    if (written <= 0) {
      std::perror("plain_write: write");
      return 1;
    }
    next += written;
    remaining -= static_cast<std::size_t>(written);
  }
  ::close(fd);
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\n", seconds.count());
  return 0;
}
