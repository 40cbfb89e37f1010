#include "scanner/find_bytes.h"

#include <cstring>

namespace zimrax {
namespace {

// Shared argument checks. Returns true when the search can run and sets
// *result when the outcome is already known.
bool ValidateSearch(ByteView data, ByteView pattern, Position start, Checked<Position>* result) {
  const Position length = SizeOf(pattern);
  Position end;
  // The first candidate must fit: start + length <= size. When it does not,
  // nothing is read and the answer is "no match".
  if (!CheckedAdd(start, length, &end)) {
    *result = Checked<Position>::Fail(RuntimeError::kOverflow);
    return false;
  }
  if (end > SizeOf(data)) {
    *result = Checked<Position>{0};
    return false;
  }
  if (start < 0 || length == 0) {
    *result = Checked<Position>::Fail(RuntimeError::kSubscriptOutOfRange);
    return false;
  }
  return true;
}

}  // namespace

Checked<Position> FindBytes(ByteView data, ByteView pattern, Position start) {
  Checked<Position> early;
  if (!ValidateSearch(data, pattern, start, &early)) return early;
  const std::uint8_t* haystack = data.data() + start;
  const std::size_t haystack_size = data.size() - static_cast<std::size_t>(start);
  const void* match = pattern.size() == 1
                          ? std::memchr(haystack, pattern[0], haystack_size)
                          : memmem(haystack, haystack_size, pattern.data(), pattern.size());
  if (match == nullptr) return Checked<Position>{0};
  return Checked<Position>{static_cast<const std::uint8_t*>(match) - data.data()};
}

Checked<Position> FindBytesReference(ByteView data, ByteView pattern, Position start) {
  Checked<Position> early;
  if (!ValidateSearch(data, pattern, start, &early)) return early;
  const Position length = SizeOf(pattern);
  for (Position a = start; a + length <= SizeOf(data); ++a) {
    Position i = 0;
    while (i < length && data[a + i] == pattern[i]) ++i;
    if (i == length) return Checked<Position>{a};
  }
  return Checked<Position>{0};
}

}  // namespace zimrax
