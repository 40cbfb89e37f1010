// FindBytes against the plain forward scan FindBytesReference on data built
// to reach every stage of the fast search: random data, runs of one byte,
// periodic data and near matches large enough to make the candidate filter
// give up and fall back (for short patterns and for ones above the table
// size), at every start near the block edges and the end of the data.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scanner/find_bytes.h"

namespace zimrax {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Repeat(const std::string& unit, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(unit[i % unit.size()]);
  return bytes;
}

// Compares both searches from the first starts around the first block
// edges, the last 40 starts, and `sampled` random starts in between.
void ExpectSameFromManyStarts(const Bytes& data, const Bytes& pattern, std::mt19937& rng, int sampled = 4) {
  std::vector<Position> starts = {0, 1, 2, 3, 14, 15, 16, 17, 31, 32, 33};
  const Position end = static_cast<Position>(data.size());
  for (Position s = end - static_cast<Position>(pattern.size()) - 40; s <= end; ++s) starts.push_back(s);
  for (int i = 0; i < sampled && end > 0; ++i) starts.push_back(static_cast<Position>(rng() % data.size()));
  for (const Position start : starts) {
    if (start < 0) continue;
    const Checked<Position> fast = FindBytes(data, pattern, start);
    const Checked<Position> reference = FindBytesReference(data, pattern, start);
    ASSERT_EQ(reference.error, fast.error) << "start " << start << ", pattern " << pattern.size();
    ASSERT_EQ(reference.value, fast.value) << "start " << start << ", pattern " << pattern.size()
                                            << ", data " << data.size();
  }
}

TEST(FindBytesDifferentialTest, RandomDataAndPatternsTakenFromIt) {
  std::mt19937 rng(1);
  for (int round = 0; round < 300; ++round) {
    // A small alphabet makes partial matches common.
    const int alphabet = round % 3 == 0 ? 2 : round % 3 == 1 ? 4 : 256;
    Bytes data(1 + rng() % 600);
    for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(rng() % alphabet);
    const std::size_t length = 1 + rng() % std::min<std::size_t>(40, data.size());
    const std::size_t at = rng() % (data.size() - length + 1);
    Bytes pattern(data.begin() + static_cast<std::ptrdiff_t>(at),
                  data.begin() + static_cast<std::ptrdiff_t>(at + length));
    if (round % 2 == 0) pattern.back() ^= 1;  // often absent
    ExpectSameFromManyStarts(data, pattern, rng);
  }
}

TEST(FindBytesDifferentialTest, HostileShapesAtEveryPatternLength) {
  std::mt19937 rng(2);
  const std::size_t lengths[] = {2, 3, 4, 5, 15, 16, 17, 31, 32, 33, 100, 255, 256, 257, 300};
  for (const std::size_t m : lengths) {
    SCOPED_TRACE(m);
    const std::string run_then_other = std::string(m - 1, 'a') + "b";
    const std::string other_inside = std::string(m - 2, 'a') + "ba";
    const std::string periodic = [m] {
      std::string s;
      while (s.size() < m) s += "ab";
      return s.substr(0, m);
    }();
    // Large enough that the comparisons outgrow the filter's allowance.
    const std::size_t size = 16 * 1024 + m;
    // A run of one byte: no match, then a match at the very end.
    Bytes data = Repeat("a", size);
    ExpectSameFromManyStarts(data, FromText(run_then_other), rng);
    data.back() = 'b';
    ExpectSameFromManyStarts(data, FromText(run_then_other), rng);
    // Candidates everywhere that fail at their second-last byte.
    ExpectSameFromManyStarts(Repeat("a", size), FromText(other_inside), rng);
    ExpectSameFromManyStarts(Repeat(other_inside.substr(0, m - 1), size), FromText(other_inside), rng);
    // Periodic data one byte short of the pattern, over and over, and then
    // the pattern itself near the end.
    data = Repeat(periodic.substr(0, m - 1) + "a", size);
    ExpectSameFromManyStarts(data, FromText(periodic), rng);
    const Bytes whole = FromText(periodic);
    std::copy(whole.begin(), whole.end(), data.end() - static_cast<std::ptrdiff_t>(m + 7));
    ExpectSameFromManyStarts(data, FromText(periodic), rng);
  }
}

TEST(FindBytesDifferentialTest, DelimiterLinesLessTheirLastByte) {
  std::mt19937 rng(3);
  for (const std::string token : {"--------------------------d74496d66958873e", "--AaB03x", "-------x-------",
                                  "--x------------", "--abababababab"}) {
    SCOPED_TRACE(token);
    Bytes data = Repeat(token.substr(0, token.size() - 1), 50000);
    ExpectSameFromManyStarts(data, FromText(token), rng);
    data.insert(data.end() - 100, token.begin(), token.end());
    ExpectSameFromManyStarts(data, FromText(token), rng);
  }
}

// The linear fallback on its own, against the plain scan, over every start:
// two-letter data and patterns make periodic and aperiodic patterns, near
// matches and matches at every offset common.
TEST(FindBytesDifferentialTest, LinearFallbackOnTwoLetterData) {
  std::mt19937 rng(2026);
  for (int round = 0; round < 3000; ++round) {
    const std::size_t length = 2 + rng() % 24;
    Bytes pattern(length);
    // Periodic patterns half of the time: a random stem repeated.
    const std::size_t stem = round % 2 == 0 ? 1 + rng() % 4 : length;
    for (std::size_t i = 0; i < length; ++i) pattern[i] = i < stem ? 'a' + rng() % 2 : pattern[i - stem];
    Bytes data(40 + rng() % 120);
    for (std::size_t i = 0; i < data.size(); ++i) {
      // Mostly the pattern itself, with a misplaced letter now and then.
      data[i] = rng() % 5 == 0 ? static_cast<std::uint8_t>('a' + rng() % 2) : pattern[i % length];
    }
    for (std::size_t from = 0; from + length <= data.size(); ++from) {
      const Checked<Position> expected = FindBytesReference(data, pattern, static_cast<Position>(from));
      const std::size_t got = FirstMatchLinear(data, pattern, from);
      // The reference reads 0 for "none" and for a match at 0 alike.
      const Position got_as_position = got == kNoMatch ? 0 : static_cast<Position>(got);
      ASSERT_EQ(got_as_position, expected.value)
          << "pattern " << std::string(pattern.begin(), pattern.end()) << " data "
          << std::string(data.begin(), data.end()) << " from " << from;
    }
  }
}

}  // namespace
}  // namespace zimrax
