// Positions and byte views: the vocabulary every layer shares.
//
// A position is a signed 64-bit index into the body, so bodies over 2 GiB
// work; 0 doubles as "no match" (a match at index 0 reads as none). Results
// are views into the caller's buffer, never copies.
#ifndef ZIMRAX_BASE_POSITION_H_
#define ZIMRAX_BASE_POSITION_H_

#include <cstdint>
#include <span>

namespace zimrax {

using Position = std::int64_t;
using ByteView = std::span<const std::uint8_t>;

// Returns the size of `bytes` as a position.
inline Position SizeOf(ByteView bytes) { return static_cast<Position>(bytes.size()); }

// Stores a + b in *sum; returns false on overflow.
inline bool CheckedAdd(Position a, Position b, Position* sum) { return !__builtin_add_overflow(a, b, sum); }

// Stores a - b in *difference; returns false on overflow.
inline bool CheckedSub(Position a, Position b, Position* difference) {
  return !__builtin_sub_overflow(a, b, difference);
}

}  // namespace zimrax

#endif  // ZIMRAX_BASE_POSITION_H_
