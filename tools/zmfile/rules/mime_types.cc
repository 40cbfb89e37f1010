#include "mime_types.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "ascii_lower.h"

namespace zimrax::zmfile {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The blank-separated words of `line`.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !IsBlank(line[at])) ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

}  // namespace

MimeTypes MimeTypes::Parse(std::string_view text) {
  MimeTypes table;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    line = line.substr(0, std::min(line.find('#'), line.size()));
    const std::vector<std::string_view> words = Words(line);
    if (words.size() < 2 || words[0].find('/') == std::string_view::npos) continue;
    const std::string type = AsciiLower(words[0]);
    for (std::size_t i = 1; i < words.size(); ++i) {
      std::vector<std::string>& types = table.by_extension_[AsciiLower(words[i])];
      if (std::find(types.begin(), types.end(), type) == types.end()) types.push_back(type);
    }
  }
  return table;
}

std::optional<MimeTypes> MimeTypes::Load(const std::string& path, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = path + " cannot be read (on Debian it comes with the media-types package)";
    return std::nullopt;
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

const std::vector<std::string>& MimeTypes::TypesOf(std::string_view extension) const {
  static const std::vector<std::string> kNone;
  const auto found = by_extension_.find(AsciiLower(extension));
  return found == by_extension_.end() ? kNone : found->second;
}

}  // namespace zimrax::zmfile
