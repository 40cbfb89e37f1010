// The tests' one builder of multipart/form-data bodies: section writers
// (Field, FileField, Close) for bodies spelled out piece by piece, and
// MultipartBody, which strings them together the way browsers send them.
// Also the bytes of text and the text of bytes.
#ifndef ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_
#define ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zimrax::testing {

// The short delimiter line of the hand-written bodies.
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
  std::string section(delimiter);
  section.append("\r\nContent-Disposition: form-data; name=\"").append(name).append("\"\r\n\r\n");
  return section.append(value).append("\r\n");
}

// One file-upload section with a Content-Type line.
inline std::string FileField(std::string_view name, std::string_view filename, std::string_view content,
                             std::string_view delimiter = kDelimiter, std::string_view content_type = "text/plain") {
  std::string section(delimiter);
  section.append("\r\nContent-Disposition: form-data; name=\"").append(name).append("\"; filename=\"");
  section.append(filename).append("\"\r\nContent-Type: ").append(content_type).append("\r\n\r\n");
  return section.append(content).append("\r\n");
}

// The close delimiter line that ends a complete body.
inline std::string Close(std::string_view delimiter = kDelimiter) { return std::string(delimiter) + "--\r\n"; }

class MultipartBody {
 public:
  explicit MultipartBody(std::string boundary = "----WebKitFormBoundaryx8RzLq3v9TmZcPd1")
      : delimiter_("--" + std::move(boundary)) {}

  MultipartBody& Field(std::string_view name, std::string_view value) {
    body_ += testing::Field(name, value, delimiter_);
    return *this;
  }

  MultipartBody& File(std::string_view name, std::string_view filename, std::string_view data,
                      std::string_view content_type = "application/octet-stream") {
    body_ += FileField(name, filename, data, delimiter_, content_type);
    return *this;
  }

  // The body with its close delimiter.
  std::string Build() const { return body_ + Close(delimiter_); }
  // The body cut short after the last section, without a close delimiter.
  std::string BuildUnterminated() const { return body_; }

  const std::string& Delimiter() const { return delimiter_; }

 private:
  std::string delimiter_;
  std::string body_;
};

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_
