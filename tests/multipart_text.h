// Test helper: multipart/form-data bodies spelled as text, and the bytes of
// text, for the scanner and component tests.
#ifndef ZIMRAX_TESTS_MULTIPART_TEXT_H_
#define ZIMRAX_TESTS_MULTIPART_TEXT_H_

#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

namespace zimrax::testing {

inline constexpr std::string_view kDelimiter = "--B";

// The bytes of `text`, one per character, as a view of `text` itself.
inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string AsText(std::span<const std::uint8_t> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// One plain section: delimiter line, disposition header, blank line, value
// and the CR LF that precedes the next delimiter line.
inline std::string Field(std::string_view name, std::string_view value, std::string_view delimiter = kDelimiter) {
  return std::string(delimiter) + "\r\nContent-Disposition: form-data; name=\"" + std::string(name) + "\"\r\n\r\n" +
         std::string(value) + "\r\n";
}

// One file-upload section with a Content-Type line.
inline std::string FileField(std::string_view name, std::string_view filename, std::string_view content,
                             std::string_view delimiter = kDelimiter) {
  return std::string(delimiter) + "\r\nContent-Disposition: form-data; name=\"" + std::string(name) +
         "\"; filename=\"" + std::string(filename) + "\"\r\nContent-Type: text/plain\r\n\r\n" + std::string(content) +
         "\r\n";
}

// The close delimiter line that ends a complete body.
inline std::string Close(std::string_view delimiter = kDelimiter) { return std::string(delimiter) + "--\r\n"; }

// The whole content of a file of the source tree, e.g. "samples/x.txt".
// Returns "" when it cannot be read.
inline std::string ReadSourceFile(std::string_view relative_path) {
  std::ifstream in(std::string(ZIMRAX_TEST_SOURCE_DIR) + "/" + std::string(relative_path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_MULTIPART_TEXT_H_
