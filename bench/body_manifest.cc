#include "body_manifest.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace zimrax::bench {
namespace {

bool ParseNumber(const std::string& text, std::uint64_t& number) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  return error == std::errc() && stop == end;
}

}  // namespace

std::string ReadManifest(const std::string& path, std::vector<ManifestEntry>& entries) {
  std::ifstream input(path);
  if (!input) return path + ": cannot open";
  std::string line;
  int line_number = 0;
  while (std::getline(input, line)) {
    ++line_number;
    if (line.empty()) continue;
    std::istringstream fields(line);
    ManifestEntry entry;
    std::string offset;
    std::string length;
    if (!std::getline(fields, entry.body_path, '\t') || !std::getline(fields, entry.boundary, '\t') ||
        !std::getline(fields, offset, '\t') || !std::getline(fields, length, '\t') ||
        !std::getline(fields, entry.file_name, '\t') || !ParseNumber(offset, entry.data_offset) ||
        !ParseNumber(length, entry.data_length)) {
      return path + ":" + std::to_string(line_number) + ": expected path, boundary, offset, length, name";
    }
    entries.push_back(std::move(entry));
  }
  return {};
}

}  // namespace zimrax::bench
