#include "scanner/stream_search.h"

namespace zimrax {

SearchPattern::SearchPattern(ByteView pattern) : bytes_(pattern.begin(), pattern.end()), border_(pattern.size()) {
  for (std::size_t i = 1, k = 0; i < bytes_.size(); ++i) {
    while (k > 0 && bytes_[i] != bytes_[k]) k = border_[k - 1];
    if (bytes_[i] == bytes_[k]) ++k;
    border_[i] = static_cast<std::uint32_t>(k);
  }
}

std::size_t SearchPattern::Advance(std::size_t matched, std::uint8_t byte) const {
  while (matched > 0 && byte != bytes_[matched]) matched = border_[matched - 1];
  return byte == bytes_[matched] ? matched + 1 : 0;
}

std::uint64_t& ScannedBytesForTesting() {
  static thread_local std::uint64_t scanned = 0;
  return scanned;
}

std::size_t StreamSearch::Scan(ByteView piece) {
  const std::size_t end = Search(piece);
  ScannedBytesForTesting() += end == kNoMatch ? piece.size() : end;
  return end;
}

std::size_t StreamSearch::Search(ByteView piece) {
  const SearchPattern& pattern = *pattern_;
  const std::size_t length = pattern.Length();
  const std::size_t size = piece.size();
  std::size_t matched = matched_;
  std::size_t next = 0;
  // While the partial match reaches back before this piece, go byte by
  // byte; that lasts fewer than `length` bytes.
  for (; next < size && matched > next; ++next) {
    matched = pattern.Advance(matched, piece[next]);
    if (matched == length) {
      matched_ = 0;
      return next + 1;
    }
  }
  if (matched > next) {  // the piece ended inside a match that began before it
    matched_ = matched;
    return kNoMatch;
  }
  // From here a match can only begin inside the piece, at the partial match
  // or after it.
  const std::size_t from = next - matched;
  if (size - from < 2 * length) {
    for (; next < size; ++next) {
      matched = pattern.Advance(matched, piece[next]);
      if (matched == length) {
        matched_ = 0;
        return next + 1;
      }
    }
    matched_ = matched;
    return kNoMatch;
  }
  const std::size_t match = FirstMatch(piece, pattern.Bytes(), from);
  if (match != kNoMatch) {
    matched_ = 0;
    return match + length;
  }
  // No match: the partial match at the end lies within the last length - 1
  // bytes, all of them searched above.
  matched = 0;
  for (std::size_t i = size - (length - 1); i < size; ++i) matched = pattern.Advance(matched, piece[i]);
  matched_ = matched;
  return kNoMatch;
}

}  // namespace zimrax
