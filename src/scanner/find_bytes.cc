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
// byte of data passed, the search falls back to a scan whose time is linear
// whatever the data: Knuth-Morris-Pratt with a table on the stack for
// patterns up to kMaxTablePattern bytes, glibc's memmem (Two-Way) above
// that. glibc's memmem is not used for shorter patterns because its method
// there costs about ten nanoseconds per byte on a long run of one byte
// searched for a pattern that ends in another (as in "-----...x").

using Block = std::uint8_t __attribute__((vector_size(16)));
constexpr std::size_t kBlock = 16;
constexpr std::size_t kMaxTablePattern = 256;
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

// Knuth-Morris-Pratt from `from`. Returns the index of the first match or
// `size` when there is none. REQUIRES: 1 <= length <= kMaxTablePattern.
std::size_t ScanLinear(const std::uint8_t* data, std::size_t size, const std::uint8_t* pattern, std::size_t length,
                       std::size_t from) {
  // border[i]: length of the longest proper border of pattern[0..i].
  std::uint8_t border[kMaxTablePattern];
  border[0] = 0;
  for (std::size_t i = 1, k = 0; i < length; ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border[i] = static_cast<std::uint8_t>(k);
  }
  std::size_t matched = 0;
  for (std::size_t j = from; j < size; ++j) {
    if (matched == 0) {
      // Nothing matched yet: skip straight to the next first byte.
      const void* next = std::memchr(data + j, pattern[0], size - j);
      if (next == nullptr) return size;
      j = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - data);
    }
    while (matched > 0 && data[j] != pattern[matched]) matched = border[matched - 1];
    if (data[j] == pattern[matched]) ++matched;
    if (matched == length) return j + 1 - length;
  }
  return size;
}

// The search from `from` once the filter has given up: linear time.
std::size_t Fallback(const std::uint8_t* data, std::size_t size, const std::uint8_t* pattern, std::size_t length,
                     std::size_t from) {
  if (length <= kMaxTablePattern) return ScanLinear(data, size, pattern, length, from);
  const void* match = memmem(data + from, size - from, pattern, length);
  return match == nullptr ? size : static_cast<std::size_t>(static_cast<const std::uint8_t*>(match) - data);
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

}  // namespace zimrax
