// Collects a request body as it arrives and then shows it as one contiguous
// span of bytes, which the component takes without copying. Small bodies
// stay in memory; large ones go to an anonymous temporary file that is
// mapped read-only, so that several large uploads at once do not hold their
// bodies in memory.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_SPOOL_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_SPOOL_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zimrax::zmfile {

class BodySpool {
 public:
  // Bodies longer than this are spooled to a temporary file.
  static constexpr std::uint64_t kInMemoryLimit = std::uint64_t{8} << 20;

  // REQUIRES: `expected_length` is the declared body length.
  explicit BodySpool(std::uint64_t expected_length);
  ~BodySpool();
  BodySpool(const BodySpool&) = delete;
  BodySpool& operator=(const BodySpool&) = delete;

  // Appends bytes. Returns false (and keeps failing) when more bytes than
  // declared arrive or the temporary file cannot be written.
  bool Append(const char* data, std::size_t size);

  // Ends the body. Returns false when fewer bytes than declared arrived or
  // the file cannot be mapped; Error() says why.
  bool Finish();

  // The whole body. REQUIRES: Finish() returned true.
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  std::uint64_t Received() const { return received_; }
  const std::string& Error() const { return error_; }

 private:
  bool Flush();
  void Fail(const std::string& what);

  std::uint64_t expected_;
  std::uint64_t received_ = 0;
  std::vector<std::uint8_t> buffer_;  // whole body, or the part not yet written to fd_
  int fd_ = -1;
  void* mapping_ = nullptr;
  std::span<const std::uint8_t> bytes_;
  std::string error_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_BODY_SPOOL_H_
