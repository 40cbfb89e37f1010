#include "server/unchosen_file_inputs.h"

#include <algorithm>

#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

// The value of the parameter `key` ("name" or "filename") on a
// Content-Disposition line, or nullopt. A parameter is the key after a ";"
// and blanks, then ="...".
std::optional<std::string_view> Parameter(std::string_view line, std::string_view key) {
  std::size_t at = 0;
  while ((at = line.find(';', at)) != std::string_view::npos) {
    std::string_view rest = line.substr(++at);
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
    if (Lowered(rest.substr(0, key.size())) != key || !rest.substr(key.size()).starts_with("=\"")) continue;
    rest.remove_prefix(key.size() + 2);
    const std::size_t end = rest.find('"');
    if (end == std::string_view::npos) return std::nullopt;
    return rest.substr(0, end);
  }
  return std::nullopt;
}

}  // namespace

void UnchosenFileInputs::Feed(std::span<const std::uint8_t> piece) {
  std::string_view bytes(reinterpret_cast<const char*>(piece.data()), piece.size());
  if (!first_line_done_) {
    const std::size_t end = bytes.find('\n');
    first_line_.append(bytes.substr(0, std::min(end, max_first_line_ + 2 - first_line_.size())));
    if (end == std::string_view::npos && first_line_.size() < max_first_line_ + 2) {
      window_.append(bytes);
      return;
    }
    first_line_done_ = true;
    delimiter_ = first_line_;
    if (!delimiter_.empty() && delimiter_.back() == '\r') delimiter_.pop_back();
    if (delimiter_.empty() || end == std::string_view::npos) return;  // never a form the component reads
    pattern_ = "\r\n\r\n\r\n" + delimiter_;
    searcher_.emplace(pattern_.begin(), pattern_.end());
    // The first line is in the window already or in this piece.
  }
  if (!searcher_) return;
  Search(bytes);
}

void UnchosenFileInputs::Search(std::string_view piece) {
  // Matches that start in the window and end in the piece.
  const std::size_t overlap = pattern_.size() - 1;
  const std::size_t tail = std::min(window_.size(), overlap);
  if (tail > 0) {
    const std::string joint = window_.substr(window_.size() - tail) + std::string(piece.substr(0, overlap));
    for (std::size_t at = joint.find(pattern_); at != std::string::npos && at < tail;
         at = joint.find(pattern_, at + 1)) {
      if (at + pattern_.size() > tail) NoteEmptyPart(window_.substr(0, window_.size() - tail + at));
    }
  }
  // Matches within the piece.
  std::size_t at = 0;
  for (;;) {
    const auto hit = std::search(piece.begin() + at, piece.end(), *searcher_);
    if (hit == piece.end()) break;
    const std::size_t offset = static_cast<std::size_t>(hit - piece.begin());
    if (offset >= kWindow) {
      NoteEmptyPart(piece.substr(offset - kWindow, kWindow));
    } else {
      const std::size_t from_window = std::min(window_.size(), kWindow - offset);
      NoteEmptyPart(window_.substr(window_.size() - from_window) + std::string(piece.substr(0, offset)));
    }
    at = offset + 1;
  }
  // The window keeps the last kWindow + pattern bytes.
  const std::size_t keep = kWindow + pattern_.size();
  if (piece.size() >= keep) {
    window_.assign(piece.substr(piece.size() - keep));
  } else {
    window_.append(piece);
    if (window_.size() > keep) window_.erase(0, window_.size() - keep);
  }
}

// `before` ends where a part's headers end with no data after them: the
// part's headers are what follows the last delimiter line in it.
void UnchosenFileInputs::NoteEmptyPart(std::string_view before) {
  const std::size_t delimiter = before.rfind(delimiter_);
  if (delimiter == std::string_view::npos) return;
  std::string_view headers = before.substr(delimiter + delimiter_.size());
  if (!headers.starts_with("\r\n")) return;
  headers.remove_prefix(2);
  while (!headers.empty()) {
    const std::size_t end = std::min(headers.find("\r\n"), headers.size());
    const std::string_view line = headers.substr(0, end);
    headers.remove_prefix(std::min(end + 2, headers.size()));
    if (Lowered(line.substr(0, 20)) != "content-disposition:") continue;
    const std::optional<std::string_view> name = Parameter(line, "name");
    const std::optional<std::string_view> filename = Parameter(line, "filename");
    if (name && filename && filename->empty()) unchosen_.emplace_back(*name);
    return;
  }
}

bool UnchosenFileInputs::Unchosen(std::string_view field) const {
  return std::find(unchosen_.begin(), unchosen_.end(), field) != unchosen_.end();
}

}  // namespace zimrax::zmfile
