// limit_writer: the floor for storing an upload whose position is already
// known. It maps each body and writes the file's byte range to a new file with
// one write loop: no parsing, no search, no copy through a buffer.
//
//   limit_writer --manifest FILE --dir DIR            every body, one process
//   limit_writer --body B --offset N --length N --out PATH   one body
//
// Each write() hands the kernel at most --write-kib KiB (default 64; 0 = the
// whole range in one call). --populate maps the body with MAP_POPULATE, so
// that the range is already mapped when it is written, as it is after a
// search has read it.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "body_manifest.h"

namespace {

struct WriteOptions {
  std::uint64_t write_bytes = 64 * 1024;  // 0: the whole range per write()
  bool populate = false;
};

// Writes `length` bytes at `offset` of the body file into a new file at
// `out_path`. Returns an empty string on success, otherwise what failed.
std::string WriteRange(const std::string& body_path, std::uint64_t offset, std::uint64_t length,
                       const std::string& out_path, const WriteOptions& options) {
  const int body_fd = ::open(body_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (body_fd < 0) return body_path + ": " + std::strerror(errno);
  struct stat info {};
  if (::fstat(body_fd, &info) != 0 || static_cast<std::uint64_t>(info.st_size) < offset + length) {
    ::close(body_fd);
    return body_path + ": shorter than the range";
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  const int flags = MAP_PRIVATE | (options.populate ? MAP_POPULATE : 0);
  void* mapping = size > 0 ? ::mmap(nullptr, size, PROT_READ, flags, body_fd, 0) : nullptr;
  ::close(body_fd);
  if (mapping == MAP_FAILED) return body_path + ": " + std::strerror(errno);

  std::string error;
  const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out_fd < 0) {
    error = out_path + ": " + std::strerror(errno);
  } else {
    const auto* next = static_cast<const char*>(mapping) + offset;
    std::uint64_t left = length;
    while (left > 0) {
      const std::uint64_t step = options.write_bytes == 0 ? left : std::min(left, options.write_bytes);
      const ssize_t written = ::write(out_fd, next, step);
      if (written < 0 && errno == EINTR) continue;
      if (written < 0) {
        error = out_path + ": " + std::strerror(errno);
        break;
      }
      next += written;
      left -= static_cast<std::uint64_t>(written);
    }
    if (::close(out_fd) != 0 && error.empty()) error = out_path + ": " + std::strerror(errno);
  }
  if (mapping != nullptr) ::munmap(mapping, size);
  return error;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"limit_writer: write known byte ranges of request bodies to new files"};
  std::string manifest_path;
  std::string dir;
  std::string body_path;
  std::string out_path;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  std::uint64_t write_kib = 64;
  WriteOptions options;
  auto* manifest = app.add_option("--manifest", manifest_path, "Manifest of bodies (bench/compare format)");
  app.add_option("--dir", dir, "Directory for the manifest's files")->needs(manifest);
  auto* body = app.add_option("--body", body_path, "One body file")->excludes(manifest);
  app.add_option("--offset", offset, "Offset of the file's first byte")->needs(body);
  app.add_option("--length", length, "Number of bytes to store")->needs(body);
  app.add_option("--out", out_path, "Path of the new file")->needs(body);
  app.add_option("--write-kib", write_kib, "Largest write() in KiB, 0 for the whole range (default 64)");
  app.add_flag("--populate", options.populate, "Map the body with MAP_POPULATE");
  CLI11_PARSE(app, argc, argv);
  options.write_bytes = write_kib * 1024;

  std::vector<zimrax::bench::ManifestEntry> entries;
  if (!manifest_path.empty()) {
    const std::string error = zimrax::bench::ReadManifest(manifest_path, entries);
    if (!error.empty()) {
      std::cerr << "limit_writer: " << error << '\n';
      return 2;
    }
    for (const auto& entry : entries) {
      const std::string failure =
          WriteRange(entry.body_path, entry.data_offset, entry.data_length, dir + "/" + entry.file_name, options);
      if (!failure.empty()) {
        std::cerr << "limit_writer: " << failure << '\n';
        return 1;
      }
    }
    return 0;
  }
  if (body_path.empty() || out_path.empty()) {
    std::cerr << "limit_writer: give --manifest and --dir, or --body, --offset, --length and --out\n";
    return 2;
  }
  const std::string failure = WriteRange(body_path, offset, length, out_path, options);
  if (!failure.empty()) {
    std::cerr << "limit_writer: " << failure << '\n';
    return 1;
  }
  return 0;
}
