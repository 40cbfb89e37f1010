#include "server/request_log.h"

#include <chrono>
#include <cstdio>
#include <ostream>

#include "server/file_listing.h"

namespace zimrax::zmfile {
namespace {

struct Trace {
  bool active = false;
  std::chrono::steady_clock::time_point start;
  std::uint64_t bytes_in = 0;
  std::string stored_name;
};

thread_local Trace current_trace;

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

void BeginRequestTrace() { current_trace = Trace{true, std::chrono::steady_clock::now(), 0, {}}; }

void NoteBodyBytes(std::uint64_t bytes) { current_trace.bytes_in = bytes; }

void NoteStoredName(const std::string& name) { current_trace.stored_name = name; }

void TakeRequestTrace(LogFields& fields) {
  if (!current_trace.active) return;
  const auto elapsed = std::chrono::steady_clock::now() - current_trace.start;
  fields.milliseconds = std::chrono::duration<double, std::milli>(elapsed).count();
  fields.bytes_in = current_trace.bytes_in;
  fields.stored_name = current_trace.stored_name;
  current_trace = Trace{};
}

std::string FormatLogLine(const LogFields& fields, std::int64_t now_ms) {
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, " %d in=%llu out=%llu %.1fms", fields.status,
                static_cast<unsigned long long>(fields.bytes_in), static_cast<unsigned long long>(fields.bytes_out),
                fields.milliseconds);
  std::string line = IsoTime(now_ms) + " " + Sanitized(fields.method) + " " + Sanitized(fields.path) + numbers;
  if (!fields.stored_name.empty()) line += " stored=\"" + Sanitized(fields.stored_name) + "\"";
  return line;
}

void RequestLog::Write(const LogFields& fields) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::string line =
      FormatLogLine(fields, std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  out_ << line << std::flush;
}

}  // namespace zimrax::zmfile
