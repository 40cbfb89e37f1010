// Finding a pattern in a body that arrives in pieces. The partial match at
// the end of one piece is carried into the next (Knuth-Morris-Pratt state),
// so pieces of any size, one byte included, cost time linear in their size;
// within a piece the fast search of find_bytes.h does the work.
#ifndef ZIMRAX_SCANNER_STREAM_SEARCH_H_
#define ZIMRAX_SCANNER_STREAM_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/position.h"
#include "scanner/find_bytes.h"

namespace zimrax {

// A pattern with its table of borders, built once and shared by searches.
class SearchPattern {
 public:
  // Copies `pattern`. REQUIRES: it is not empty.
  explicit SearchPattern(ByteView pattern);

  ByteView Bytes() const { return bytes_; }
  std::size_t Length() const { return bytes_.size(); }
  // The partial-match length after `byte`, from partial-match length `matched`.
  std::size_t Advance(std::size_t matched, std::uint8_t byte) const;

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint32_t> border_;  // border_[i]: longest proper border of bytes_[0..i]
};

class StreamSearch {
 public:
  StreamSearch() = default;
  // REQUIRES: `pattern` outlives the search.
  explicit StreamSearch(const SearchPattern* pattern) : pattern_(pattern) {}

  // Forgets what was scanned, or, with `matched`, goes on as if the last
  // bytes scanned were the first `matched` bytes of the pattern.
  // REQUIRES: matched < Length().
  void Reset(std::size_t matched = 0) { matched_ = matched; }

  // Scans `piece` as the continuation of everything scanned since the last
  // Reset or match. Returns the offset in `piece` just past the end of the
  // first match, or kNoMatch; after a match the state is reset.
  std::size_t Scan(ByteView piece);

  // How many of the last bytes scanned are a prefix of the pattern: the part
  // of a match that may still complete in the next piece.
  std::size_t Partial() const { return matched_; }
  std::size_t Length() const { return pattern_->Length(); }

 private:
  std::size_t Search(ByteView piece);

  const SearchPattern* pattern_ = nullptr;
  std::size_t matched_ = 0;
};

// Test seam: the bytes this thread's StreamSearch::Scan calls have gone
// through (up to a match, or the whole piece), over every pattern. Tests
// read it to see that a body is searched once.
std::uint64_t& ScannedBytesForTesting();

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_STREAM_SEARCH_H_
