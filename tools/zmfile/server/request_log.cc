#include "server/request_log.h"

#include <chrono>
#include <cstdio>
#include <ostream>

#include "server/file_listing.h"

namespace zimrax::zmfile {
namespace {

std::string Sanitized(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string FormatLogLine(const LogFields& fields, std::int64_t now_ms) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " %d in=%llu out=%llu %.1fms", fields.status,
                static_cast<unsigned long long>(fields.bytes_in), static_cast<unsigned long long>(fields.bytes_out),
                fields.milliseconds);
  std::string line = IsoTime(now_ms) + " " + Sanitized(fields.method) + " " + Sanitized(fields.path) + numbers;
  line += " client=" + Sanitized(fields.client.empty() ? "-" : fields.client);
  if (!fields.user.empty()) line += " user=\"" + Sanitized(fields.user) + "\"";
  if (!fields.stored_name.empty()) line += " stored=\"" + Sanitized(fields.stored_name) + "\"";
  if (!fields.sha256.empty()) line += " sha256=" + Sanitized(fields.sha256);
  if (!fields.reason.empty()) line += " reason=\"" + Sanitized(fields.reason) + "\"";
  return line;
}

void RequestLog::Write(const LogFields& fields) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::string line =
      FormatLogLine(fields, std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << std::flush;
}

void RequestLog::Note(const std::string& text) {
  const std::string line = "zmfile serve: " + text + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << std::flush;
}

}  // namespace zimrax::zmfile
