#include "scanner/find_bytes.h"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The search for patterns of two bytes or more runs in two stages.
//
// A filter tests 16 candidates at a time for two bytes of the pattern, its
// last byte and an "anchor" byte, and compares only the candidates that
// pass in full. The anchor is the first byte, or when that equals the last
// byte, the last byte that differs from it: data made of a delimiter line
// less its last byte, over and over, then yields no candidate at all.
//
// Data can still be built to pass the filter at many places and fail the
// comparison late. Once the comparisons have cost more than a few bytes per
// byte of data passed, the search falls back to one whose time is linear
// whatever the data: the Two-Way algorithm (Crochemore and Perrin), which
// needs no table, with its comparisons made 16 bytes at a time. On data
// built from the pattern with one byte out of place per period, it skips
// past each misplaced byte instead of trying every alignment before it.
// glibc's memmem is not used: on a long run of one byte searched for a
// pattern that ends in another (as in "-----...x") its short-pattern method
// costs about ten nanoseconds per byte.

using Block = std::uint8_t __attribute__((vector_size(16)));
constexpr std::size_t kBlock = 16;
// Bytes the filter may compare per byte of data it has passed, and a fixed
// allowance on top, before the search falls back.
constexpr std::size_t kComparedPerByte = 4;
constexpr std::size_t kComparedAllowance = 4096;

Block Load(const std::uint8_t* at) {
  Block block;
  std::memcpy(&block, at, kBlock);
  return block;
}

Block Splat(std::uint8_t byte) {
  Block block = {};
  return block + byte;
}

// One bit per lane of a comparison result (lanes are 0x00 or 0xff), lane 0
// in bit 0.
std::uint32_t LaneMask(Block block) {
#if defined(__SSE2__)
  __m128i lanes;
  std::memcpy(&lanes, &block, sizeof(lanes));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(lanes));
#else
  std::uint32_t mask = 0;
  for (std::size_t lane = 0; lane < kBlock; ++lane) mask |= static_cast<std::uint32_t>(block[lane] & 1) << lane;
  return mask;
#endif
}

// The index of the byte the filter tests beside the pattern's last byte.
// REQUIRES: length >= 2.
std::size_t AnchorIndex(const std::uint8_t* pattern, std::size_t length) {
  const std::uint8_t last = pattern[length - 1];
  if (pattern[0] != last) return 0;
  for (std::size_t i = length - 1; i-- > 0;) {
    if (pattern[i] != last) return i;
  }
  return 0;
}

// The first i in [from, to) with a[i] != b[i], or `to`.
std::size_t MismatchForward(const std::uint8_t* a, const std::uint8_t* b, std::size_t from, std::size_t to) {
  for (; from + kBlock <= to; from += kBlock) {
    const std::uint32_t equal = LaneMask(Load(a + from) == Load(b + from));
    if (equal != 0xffff) return from + static_cast<std::size_t>(std::countr_one(equal));
  }
  for (; from < to; ++from) {
    if (a[from] != b[from]) return from;
  }
  return to;
}

// One past the last i in [from, to) with a[i] != b[i], or `from` when the
// whole range agrees.
std::size_t MismatchBackward(const std::uint8_t* a, const std::uint8_t* b, std::size_t from, std::size_t to) {
  for (; to >= from + kBlock; to -= kBlock) {
    const std::uint32_t equal = LaneMask(Load(a + to - kBlock) == Load(b + to - kBlock));
    if (equal != 0xffff) return to - static_cast<std::size_t>(std::countl_one(equal << 16));
  }
  for (; to > from; --to) {
    if (a[to - 1] != b[to - 1]) return to;
  }
  return from;
}

// The critical factorization of `pattern`: the start of its right half,
// and in *period the period of that half's maximal suffix.
std::size_t CriticalFactorization(const std::uint8_t* pattern, std::size_t length, std::size_t* period) {
  if (length < 3) {
    *period = 1;
    return length - 1;
  }
  // The maximal suffix under one byte order, then the other; the later
  // start wins. Indices start at "minus one" (SIZE_MAX) and wrap.
  std::size_t starts[2];
  std::size_t periods[2];
  for (int order = 0; order < 2; ++order) {
    std::size_t max_suffix = SIZE_MAX;
    std::size_t j = 0;
    std::size_t k = 1;
    std::size_t p = 1;
    while (j + k < length) {
      const std::uint8_t a = pattern[j + k];
      const std::uint8_t b = pattern[max_suffix + k];
      if (order == 0 ? a < b : b < a) {
        j += k;
        k = 1;
        p = j - max_suffix;
      } else if (a == b) {
        if (k != p) {
          ++k;
        } else {
          j += p;
          k = 1;
        }
      } else {
        max_suffix = j++;
        k = p = 1;
      }
    }
    starts[order] = max_suffix + 1;
    periods[order] = p;
  }
  const int chosen = starts[1] > starts[0] ? 1 : 0;
  *period = periods[chosen];
  return starts[chosen];
}

// Two-Way from `from`. Returns the index of the first match or `size`.
// REQUIRES: 2 <= length, from + length <= size.
std::size_t Fallback(const std::uint8_t* data, std::size_t size, const std::uint8_t* pattern, std::size_t length,
                     std::size_t from) {
  std::size_t period;
  const std::size_t suffix = CriticalFactorization(pattern, length, &period);
  std::size_t j = from;
  if (std::memcmp(pattern, pattern + period, suffix) == 0) {
    // The pattern is periodic: after a full right half, the next period's
    // worth of it is known to match and is not compared again.
    std::size_t memory = 0;
    while (j <= size - length) {
      const std::size_t i = MismatchForward(pattern, data + j, std::max(suffix, memory), length);
      if (i < length) {
        j += i - suffix + 1;
        memory = 0;
        continue;
      }
      if (MismatchBackward(pattern, data + j, memory, suffix) == memory) return j;
      j += period;
      memory = length - period;
    }
    return size;
  }
  const std::size_t shift = std::max(suffix, length - suffix) + 1;
  while (j <= size - length) {
    const std::size_t i = MismatchForward(pattern, data + j, suffix, length);
    if (i < length) {
      j += i - suffix + 1;
      continue;
    }
    if (MismatchBackward(pattern, data + j, 0, suffix) == 0) return j;
    j += shift;
  }
  return size;
}

// Returns the index of the first match at or after `from`, or `size`.
// REQUIRES: 2 <= length, from + length <= size.
std::size_t SearchFiltered(const std::uint8_t* data, std::size_t size, const std::uint8_t* pattern,
                           std::size_t length, std::size_t from) {
  const std::size_t last_candidate = size - length;
  const std::size_t anchor = AnchorIndex(pattern, length);
  const std::size_t tail = length - 1;
  const Block anchor_bytes = Splat(pattern[anchor]);
  const Block tail_bytes = Splat(pattern[tail]);
  std::size_t compared = 0;
  std::size_t k = from;
  // Two blocks at a time: candidates k .. k + 31, all at most last_candidate.
  for (; k <= last_candidate && last_candidate - k >= 2 * kBlock - 1; k += 2 * kBlock) {
    const Block low = (Load(data + k + anchor) == anchor_bytes) & (Load(data + k + tail) == tail_bytes);
    const Block high =
        (Load(data + k + kBlock + anchor) == anchor_bytes) & (Load(data + k + kBlock + tail) == tail_bytes);
    std::uint32_t candidates = LaneMask(low) | (LaneMask(high) << kBlock);
    if (candidates == 0) continue;
    for (; candidates != 0; candidates &= candidates - 1) {
      const std::size_t lane = static_cast<std::size_t>(std::countr_zero(candidates));
      if (std::memcmp(data + k + lane, pattern, length) == 0) return k + lane;
      compared += length;
    }
    if (compared > kComparedPerByte * (k + 2 * kBlock - from) + kComparedAllowance) {
      return Fallback(data, size, pattern, length, k + 2 * kBlock);
    }
  }
  // The last few candidates, one by one.
  for (; k <= last_candidate; ++k) {
    if (data[k + anchor] == pattern[anchor] && data[k + tail] == pattern[tail] &&
        std::memcmp(data + k, pattern, length) == 0) {
      return k;
    }
  }
  return size;
}

}  // namespace

std::size_t FirstMatchLinear(ByteView data, ByteView pattern, std::size_t from) {
  if (pattern.empty() || from > data.size() || data.size() - from < pattern.size()) return kNoMatch;
  if (pattern.size() == 1) return FirstMatch(data, pattern, from);
  const std::size_t match = Fallback(data.data(), data.size(), pattern.data(), pattern.size(), from);
  return match == data.size() ? kNoMatch : match;
}

std::size_t FirstMatch(ByteView data, ByteView pattern, std::size_t from) {
  if (pattern.empty() || from > data.size() || data.size() - from < pattern.size()) return kNoMatch;
  if (pattern.size() == 1) {
    const void* match = std::memchr(data.data() + from, pattern[0], data.size() - from);
    return match == nullptr ? kNoMatch : static_cast<std::size_t>(static_cast<const std::uint8_t*>(match) - data.data());
  }
  const std::size_t match = SearchFiltered(data.data(), data.size(), pattern.data(), pattern.size(), from);
  return match == data.size() ? kNoMatch : match;
}

Checked<Position> FindBytes(ByteView data, ByteView pattern, Position start) {
  Checked<Position> early;
  if (!ValidateSearch(data, pattern, start, &early)) return early;
  const std::size_t match = FirstMatch(data, pattern, static_cast<std::size_t>(start));
  return Checked<Position>{match == kNoMatch ? 0 : static_cast<Position>(match)};
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
