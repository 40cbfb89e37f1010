#include "server/request_gate.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
std::optional<std::uint64_t> ParseContentLength(const std::string& raw) {
  const std::string_view text = Trimmed(raw);
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

bool IsMultipartFormData(const std::string& content_type) {
  const std::string media_type = Lowered(Trimmed(content_type.substr(0, content_type.find(';'))));
  return media_type == "multipart/form-data";
}

std::optional<Refusal> CheckUploadRequest(const boost::beast::http::fields& headers, std::uint64_t max_body,
                                          BodyFrame* frame) {
  namespace http = boost::beast::http;
  const auto value = [&headers](http::field name) { return std::string(headers[name]); };
  if (!IsMultipartFormData(value(http::field::content_type))) {
    return Refusal{415, "Uploads must be sent as multipart/form-data (Content-Type).", RefusalKind::kNotAForm};
  }
  const std::string coding = Lowered(Trimmed(value(http::field::content_encoding)));
  if (!coding.empty() && coding != "identity") {
    return Refusal{415, "Compressed request bodies (Content-Encoding: " + coding + ") are not accepted.",
                   RefusalKind::kNotAForm};
  }
  if (headers.count(http::field::transfer_encoding) > 0) {
    if (headers.count(http::field::content_length) > 0 ||
        Lowered(Trimmed(value(http::field::transfer_encoding))) != "chunked") {
      return Refusal{400, "The upload's Transfer-Encoding must be chunked alone.", RefusalKind::kFraming};
    }
    *frame = BodyFrame{true, 0};
    return std::nullopt;
  }
  if (headers.count(http::field::content_length) == 0) {
    return Refusal{411, "The upload needs a Content-Length header or Transfer-Encoding: chunked.",
                   RefusalKind::kNoLength};
  }
  if (headers.count(http::field::content_length) != 1) {
    return Refusal{400, "The request has more than one Content-Length header.", RefusalKind::kFraming};
  }
  const std::optional<std::uint64_t> length = ParseContentLength(value(http::field::content_length));
  if (!length) return Refusal{400, "The Content-Length header is not a number.", RefusalKind::kFraming};
  if (*length > max_body) {
    return Refusal{413,
                   "The body of " + std::to_string(*length) + " bytes is larger than the limit of " +
                       std::to_string(max_body) + " bytes (--max-body).",
                   RefusalKind::kTooLarge};
  }
  *frame = BodyFrame{false, *length};
  return std::nullopt;
}

}  // namespace zimrax::zmfile
