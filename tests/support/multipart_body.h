// Builds multipart/form-data bodies the way browsers send them.
#ifndef ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_
#define ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zimrax::testing {

class MultipartBody {
 public:
  explicit MultipartBody(std::string boundary = "----WebKitFormBoundaryx8RzLq3v9TmZcPd1")
      : delimiter_("--" + std::move(boundary)) {}

  MultipartBody& Field(std::string_view name, std::string_view value) {
    body_ += delimiter_ + "\r\nContent-Disposition: form-data; name=\"";
    body_.append(name).append("\"\r\n\r\n").append(value).append("\r\n");
    return *this;
  }

  MultipartBody& File(std::string_view name, std::string_view filename, std::string_view data,
                      std::string_view content_type = "application/octet-stream") {
    body_ += delimiter_ + "\r\nContent-Disposition: form-data; name=\"";
    body_.append(name).append("\"; filename=\"").append(filename).append("\"\r\nContent-Type: ");
    body_.append(content_type).append("\r\n\r\n").append(data).append("\r\n");
    return *this;
  }

  // The body with its close delimiter.
  std::string Build() const { return body_ + delimiter_ + "--\r\n"; }
  // The body cut short after the last section, without a close delimiter.
  std::string BuildUnterminated() const { return body_; }

  const std::string& Delimiter() const { return delimiter_; }

 private:
  std::string delimiter_;
  std::string body_;
};

inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace zimrax::testing

#endif  // ZIMRAX_TESTS_SUPPORT_MULTIPART_BODY_H_
