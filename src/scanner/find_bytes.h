// Forward search for a byte pattern in the body.
#ifndef ZIMRAX_SCANNER_FIND_BYTES_H_
#define ZIMRAX_SCANNER_FIND_BYTES_H_

#include <cstddef>

#include "base/checked.h"

namespace zimrax {

// Returns the index of the first occurrence of `pattern` in `data` at or
// after `start`, or 0 when there is none (a match at index 0 also reads 0).
// A match may end on the last byte of `data`.
// Fails with kSubscriptOutOfRange when a candidate would be read at a
// negative start or with an empty pattern.
Checked<Position> FindBytes(ByteView data, ByteView pattern, Position start);

inline constexpr std::size_t kNoMatch = static_cast<std::size_t>(-1);

// The index of the first occurrence of `pattern` in `data` at or after
// `from`, or kNoMatch; an index 0 is a match like any other. Linear time.
std::size_t FirstMatch(ByteView data, ByteView pattern, std::size_t from);

// The linear-time search FirstMatch falls back to on data that defeats its
// filter, on its own; for the differential tests.
std::size_t FirstMatchLinear(ByteView data, ByteView pattern, std::size_t from);

// The plain byte-by-byte scan that FindBytes must agree with; kept for the
// differential tests and fuzzer.
Checked<Position> FindBytesReference(ByteView data, ByteView pattern, Position start);

}  // namespace zimrax

#endif  // ZIMRAX_SCANNER_FIND_BYTES_H_
