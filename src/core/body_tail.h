// The last bytes of a streamed body, kept to tell whether it ended with
// its closing delimiter line. Both streaming forms keep one.
#ifndef ZIMRAX_SRC_CORE_BODY_TAIL_H_
#define ZIMRAX_SRC_CORE_BODY_TAIL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/position.h"

namespace zimrax {

class BodyTail {
 public:
  // REQUIRES: called once, before Keep, with the delimiter's length.
  void Reserve(std::size_t delimiter_length) { bytes_.reserve(2 * Room(delimiter_length)); }

  // Keeps at least the last bytes a closing delimiter line takes with its
  // CR LF on both sides, and at most twice as many: small pieces are
  // appended, and the front is dropped only now and then.
  void Keep(ByteView piece, std::size_t delimiter_length) {
    const std::size_t keep = Room(delimiter_length);
    if (piece.size() >= keep) {
      bytes_.assign(piece.end() - static_cast<std::ptrdiff_t>(keep), piece.end());
      return;
    }
    if (bytes_.size() + piece.size() > 2 * keep) {
      bytes_.erase(bytes_.begin(), bytes_.end() - static_cast<std::ptrdiff_t>(keep - piece.size()));
    }
    for (const std::uint8_t byte : piece) bytes_.push_back(byte);  // short: cheaper than a ranged insert
  }

  // Whether the bytes kept end with CR LF, `delimiter`, "--" and at most
  // one CR LF.
  bool EndsWithClosingLine(ByteView delimiter) const {
    const ByteView tail(bytes_);
    for (const std::size_t line_end : {std::size_t{0}, std::size_t{2}}) {
      const std::size_t length = 2 + delimiter.size() + 2 + line_end;
      if (tail.size() < length) continue;
      const ByteView line = tail.last(length);
      if (line[0] == '\r' && line[1] == '\n' && std::memcmp(line.data() + 2, delimiter.data(), delimiter.size()) == 0 &&
          line[2 + delimiter.size()] == '-' && line[3 + delimiter.size()] == '-' &&
          (line_end == 0 || (line[length - 2] == '\r' && line[length - 1] == '\n'))) {
        return true;
      }
    }
    return false;
  }

 private:
  static std::size_t Room(std::size_t delimiter_length) { return delimiter_length + 6; }

  std::vector<std::uint8_t> bytes_;
};

}  // namespace zimrax

#endif  // ZIMRAX_SRC_CORE_BODY_TAIL_H_
