#include "server/delimiter_check.h"

#include <algorithm>
#include <string_view>

namespace zimrax::zmfile {

void DelimiterCheck::Feed(std::span<const std::uint8_t> piece) {
  if (line_ended_ || head_.size() == kKept) return;
  const std::size_t taken = std::min(piece.size(), kKept - head_.size());
  head_.append(reinterpret_cast<const char*>(piece.data()), taken);
  // The line ends at its first CR LF, as the component reads it; a CR kept
  // at the end of one piece meets its LF in the next.
  if (const std::size_t end = head_.find("\r\n"); end != std::string::npos) {
    head_.resize(end);
    line_ended_ = true;
  }
}

std::string DelimiterCheck::Warning() const {
  if (head_.empty() && !line_ended_) return "";  // no body at all
  // A line that fills head_ holds enough characters, with or without "--".
  if (head_.size() == kKept) return "";
  std::string_view line = head_;
  if (line.starts_with("--")) line.remove_prefix(2);
  if (line.size() >= kMinDelimiterCharacters) return "";
  return "The form's boundary (its delimiter line after the leading \"--\") is " + std::to_string(line.size()) +
         (line.size() == 1 ? " character" : " characters") + " long, shorter than " +
         std::to_string(kMinDelimiterCharacters) +
         ": a file's data ends wherever the delimiter's bytes appear in it, so a file holding them is stored cut "
         "short. Use a long random boundary, as browsers do.";
}

}  // namespace zimrax::zmfile
