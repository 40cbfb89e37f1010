#include "server/hook_command_line.h"

namespace zimrax::zmfile {

std::optional<std::vector<std::string>> SplitHookCommand(std::string_view text, std::string* why) {
  if (text.find('\0') != std::string_view::npos) {
    *why = "the command holds a NUL byte";
    return std::nullopt;
  }
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\\') {
      if (++i == text.size()) {
        *why = "the command ends with a backslash";
        return std::nullopt;
      }
      word += text[i];
    } else if (c == '\'' || c == '"') {
      const std::size_t open = i;
      for (++i; i < text.size() && text[i] != c; ++i) {
        if (c == '"' && text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) ++i;
        word += text[i];
      }
      if (i == text.size()) {
        *why = std::string("the quote at byte ") + std::to_string(open) + " is not closed";
        return std::nullopt;
      }
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  if (words.empty()) {
    *why = "the command is empty";
    return std::nullopt;
  }
  return words;
}

}  // namespace zimrax::zmfile
