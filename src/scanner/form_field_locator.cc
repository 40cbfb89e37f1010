#include "scanner/form_field_locator.h"

#include <cstring>

#include "scanner/byte_runs.h"
#include "scanner/find_bytes.h"

namespace zimrax {
namespace {

constexpr std::uint8_t kQuote = '"';
constexpr std::uint8_t kQuoteRun[1] = {kQuote};

}  // namespace

Checked<ByteView> BoundaryLineOf(ByteView body) {
  static constexpr std::uint8_t kCrLf[2] = {'\r', '\n'};
  const Checked<Position> line_break = FindBytes(body, ByteView(kCrLf), 0);
  if (!line_break.ok()) return Checked<ByteView>::Fail(line_break.error);
  return SliceBytes(body, 0, line_break.value);
}

bool QuoteLocator::AnyAtOrAfter(Position p) {
  if (last_quote_ == -2) {
    // An empty body may have a null data pointer, which memrchr must not get.
    const void* last = body_.empty() ? nullptr : memrchr(body_.data(), kQuote, body_.size());
    last_quote_ = last == nullptr ? -1 : static_cast<const std::uint8_t*>(last) - body_.data();
  }
  return last_quote_ >= p;
}

Checked<ByteView> ReadFieldNameBytes(ByteView body, Position start, QuoteLocator& quotes) {
  if (start < 0 || start > SizeOf(body)) return Checked<ByteView>::Fail(RuntimeError::kSubscriptOutOfRange);
  // Only a quote within kMaxFieldNameLength bytes can end a usable name, so
  // look no further than that; beyond it, only whether a quote exists matters.
  const Position window = std::min(kMaxFieldNameLength + 1, SizeOf(body) - start);
  const void* quote =
      window > 0 ? std::memchr(body.data() + start, kQuote, static_cast<std::size_t>(window)) : nullptr;
  if (quote != nullptr) {
    const Position length = static_cast<const std::uint8_t*>(quote) - (body.data() + start);
    return SliceBytes(body, start, length);
  }
  if (quotes.AnyAtOrAfter(start)) return Checked<ByteView>{ByteView(kQuoteRun, 1)};
  return Checked<ByteView>::Fail(RuntimeError::kSubscriptOutOfRange);
}

Checked<LocatedField> LocateFormField(ByteView body, ByteView wanted_name, ByteView boundary_line) {
  const ByteView disposition = StringToBytes(kDispositionText);
  QuoteLocator quotes(body);
  Position search_start = 0;
  for (int pass = 0;; pass = 1) {
    const Checked<Position> delimiter = FindBytes(body, boundary_line, search_start);
    if (!delimiter.ok()) return Checked<LocatedField>::Fail(delimiter.error);
    // In the first pass 0 is the delimiter line at the start of the body.
    if (delimiter.value == 0 && pass > 0) return Checked<LocatedField>{{0, ResultCode::kFieldNameNotFound}};

    Position after_delimiter;
    if (!CheckedAdd(delimiter.value, SizeOf(boundary_line), &after_delimiter)) {
      return Checked<LocatedField>::Fail(RuntimeError::kOverflow);
    }
    const Checked<Position> header = FindBytes(body, disposition, after_delimiter);
    if (!header.ok()) return Checked<LocatedField>::Fail(header.error);
    if (header.value == 0) return Checked<LocatedField>{{0, ResultCode::kDispositionNotFound}};

    const Position name_start = header.value + SizeOf(disposition);
    const Checked<ByteView> name = ReadFieldNameBytes(body, name_start, quotes);
    if (!name.ok()) return Checked<LocatedField>::Fail(name.error);
    if (BytesEqual(wanted_name, name.value)) {
      return Checked<LocatedField>{{name_start + SizeOf(name.value), ResultCode::kOk}};
    }
    search_start = name_start;
  }
}

}  // namespace zimrax
