#include "error_context.h"

#include <cstdio>

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kMaxListedSections = 8;
constexpr std::size_t kMaxSectionNameBytes = 40;
constexpr std::int32_t kFieldNotFound = 101;
constexpr std::int32_t kNoDisposition = 102;

}  // namespace

std::string QuotedForMessage(std::string_view text, std::size_t max_bytes) {
  std::string quoted = "\"";
  const bool cut = text.size() > max_bytes;
  for (const char c : cut ? text.substr(0, max_bytes) : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      quoted += escaped;
    } else {
      quoted += c;
    }
  }
  return quoted + (cut ? "...\"" : "\"");
}

std::string ErrorContext(bool save, std::string_view field, std::string_view directory, std::int32_t code,
                         const std::vector<std::string>& sections, bool more_sections) {
  std::string line = save ? "while storing field " + QuotedForMessage(field) + " into directory " +
                                QuotedForMessage(directory)
                          : "while reading field " + QuotedForMessage(field);
  if (code != kFieldNotFound && code != kNoDisposition) return line;
  if (sections.empty()) return line + " (the body has no form fields)";
  line += " (the body's fields:";
  for (std::size_t i = 0; i < sections.size() && i < kMaxListedSections; ++i) {
    line += (i == 0 ? " " : ", ") + QuotedForMessage(sections[i], kMaxSectionNameBytes);
  }
  if (more_sections || sections.size() > kMaxListedSections) line += ", ...";
  return line + ")";
}

}  // namespace zimrax::zmfile
