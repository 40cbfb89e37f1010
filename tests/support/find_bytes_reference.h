// The plain byte-by-byte forward scan that FindBytes (src/scanner/
// find_bytes.h) must agree with, for the differential tests, the fuzzer and
// the benchmarks. It checks its arguments itself, in the order FindBytes
// documents, so a fault in the library's own checks shows up as a
// difference rather than being shared by both sides.
#ifndef ZIMRAX_TESTS_SUPPORT_FIND_BYTES_REFERENCE_H_
#define ZIMRAX_TESTS_SUPPORT_FIND_BYTES_REFERENCE_H_

#include "base/checked.h"
#include "base/position.h"

namespace zimrax {

// The index of the first occurrence of `pattern` in `data` at or after
// `start`, or 0 when there is none. kOverflow when start + pattern length
// overflows; 0 when the first candidate does not fit in `data`; otherwise
// kSubscriptOutOfRange for a negative start or an empty pattern.
inline Checked<Position> FindBytesReference(ByteView data, ByteView pattern, Position start) {
  const Position length = SizeOf(pattern);
  Position end = 0;
  if (!CheckedAdd(start, length, &end)) return Checked<Position>::Fail(RuntimeError::kOverflow);
  if (end > SizeOf(data)) return Checked<Position>{0};
  if (start < 0 || length == 0) return Checked<Position>::Fail(RuntimeError::kSubscriptOutOfRange);
  for (Position a = start; a + length <= SizeOf(data); ++a) {
    Position i = 0;
    while (i < length && data[a + i] == pattern[i]) ++i;
    if (i == length) return Checked<Position>{a};
  }
  return Checked<Position>{0};
}

}  // namespace zimrax

#endif  // ZIMRAX_TESTS_SUPPORT_FIND_BYTES_REFERENCE_H_
