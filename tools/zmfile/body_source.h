// A request body read for the command line: a regular file is mapped into
// memory (no copy), anything else (standard input with "-", a pipe) is read.
#ifndef ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_
#define ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zimrax::zmfile {

class BodySource {
 public:
  // Opens `path` ("-" for standard input). On failure Bytes() is empty and
  // Error() says what went wrong, without the path ("Is a directory").
  explicit BodySource(const std::string& path);
  ~BodySource();
  BodySource(const BodySource&) = delete;
  BodySource& operator=(const BodySource&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  std::span<const std::uint8_t> Bytes() const { return bytes_; }

 private:
  void ReadAll(int fd);

  std::span<const std::uint8_t> bytes_;
  void* mapping_ = nullptr;
  std::size_t mapping_size_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::string error_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_
