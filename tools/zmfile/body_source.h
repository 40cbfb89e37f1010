// A whole request body read into memory, for tools that hand the typed API
// one contiguous body (zmfile itself streams: see body_reader.h).
#ifndef ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_
#define ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace zimrax::zmfile {

class BodySource {
 public:
  // Reads `path` ("-" for standard input). On failure Bytes() is empty and
  // Error() says what went wrong, without the path. A regular file that changes size
  // while it is read is a failure: the body would not be the file's.
  // `on_size_known` runs once a regular file's size has been taken, before
  // its bytes are read (a test can change the file there).
  explicit BodySource(const std::string& path, const std::function<void()>& on_size_known = {});
  BodySource(const BodySource&) = delete;
  BodySource& operator=(const BodySource&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }
  std::span<const std::uint8_t> Bytes() const { return buffer_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::string error_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_BODY_SOURCE_H_
