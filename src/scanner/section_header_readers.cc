#include "scanner/section_header_readers.h"

#include <algorithm>

#include "scanner/byte_runs.h"
#include "scanner/find_bytes.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kCrLf[2] = {'\r', '\n'};
constexpr std::uint8_t kBlankLine[4] = {'\r', '\n', '\r', '\n'};
constexpr std::uint8_t kQuote[1] = {'"'};

}  // namespace

Checked<Position> FindFilenameStart(ByteView body, Position start) {
  const Checked<Position> line_end = FindBytes(body, ByteView(kCrLf), start);
  if (!line_end.ok()) return line_end;
  if (line_end.value == 0) return Checked<Position>{0};
  // Only a match that begins at or before the line end counts, so the search
  // need not run past line_end + length; the answer is the same as that of
  // a search over the whole body.
  const ByteView filename_text = StringToBytes(kFilenameText);
  const Position limit = std::min(SizeOf(body), line_end.value + SizeOf(filename_text));
  const Checked<Position> found = FindBytes(body.first(static_cast<std::size_t>(limit)), filename_text, start);
  if (!found.ok() || found.value == 0) return found;
  return Checked<Position>{found.value + SizeOf(filename_text)};
}

Checked<ByteView> ReadQuotedBytes(ByteView body, Position start) {
  const Checked<Position> quote = FindBytes(body, ByteView(kQuote), start);
  if (!quote.ok()) return Checked<ByteView>::Fail(quote.error);
  return SliceBytes(body, start, quote.value - start);
}

Checked<Position> FindDataStart(ByteView body, Position start) {
  const Checked<Position> blank_line = FindBytes(body, ByteView(kBlankLine), start);
  if (!blank_line.ok() || blank_line.value == 0) return blank_line;
  return Checked<Position>{blank_line.value + SizeOf(ByteView(kBlankLine))};
}

}  // namespace zimrax
