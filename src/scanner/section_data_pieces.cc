#include "scanner/section_data_pieces.h"

#include <algorithm>

#include "scanner/find_bytes.h"

namespace zimrax {
namespace {

// Small enough to stay in a core's cache between search and write; at
// least a few delimiter lengths, so that the overlap the windows share
// stays a small part of each search and the whole stays linear.
constexpr Position kPieceBytes = Position{64} << 10;
constexpr Position kPiecesPerDelimiter = 4;
// The CR LF in front of the delimiter line, which is not data.
constexpr Position kLineBreak = 2;

}  // namespace

SectionDataPieces::SectionDataPieces(ByteView body, Position data_start, ByteView delimiter_line)
    : body_(body),
      delimiter_line_(delimiter_line),
      next_(data_start),
      piece_(std::max(kPieceBytes, kPiecesPerDelimiter * SizeOf(delimiter_line))) {}

Checked<ByteView> SectionDataPieces::Next() {
  const Position size = SizeOf(body_);
  if (done_ || next_ >= size) return Checked<ByteView>{ByteView()};
  // A delimiter starting before next_ + piece_ + 2 cuts this piece short
  // (its CR LF may lie inside the piece). Earlier windows covered every
  // start before next_ + 2, so a match here is never behind next_ + 2.
  const Position window_end = std::min(size, next_ + piece_ + kLineBreak + SizeOf(delimiter_line_) - 1);
  const Checked<Position> delimiter =
      FindBytes(body_.first(static_cast<std::size_t>(window_end)), delimiter_line_, next_);
  if (!delimiter.ok()) return Checked<ByteView>::Fail(delimiter.error);

  Position end;
  if (delimiter.value != 0) {
    end = std::max(next_, delimiter.value - kLineBreak);
    done_ = true;
  } else {
    end = window_end == size ? size : next_ + piece_;
  }
  const ByteView piece = body_.subspan(static_cast<std::size_t>(next_), static_cast<std::size_t>(end - next_));
  next_ = end;
  return Checked<ByteView>{piece};
}

}  // namespace zimrax
