// FindBytes: the table of search cases, each run in a heap buffer and right
// before a guard page, and a seeded differential run against the plain scan.
#include "scanner/find_bytes.h"
#include "support/find_bytes_reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "guarded_buffer.h"
#include "support/multipart_body.h"

namespace zimrax {
namespace {

using namespace std::string_view_literals;
using testing::AsBytes;
using testing::ForEachPlacement;

constexpr Position kMax = std::numeric_limits<Position>::max();

struct SearchCase {
  const char* what;
  std::string_view data;
  std::string_view pattern;
  Position start;
  Position expected;
  RuntimeError error = RuntimeError::kNone;
};

const SearchCase kSearchCases[] = {
    {"match inside", "xabc", "ab", 0, 1},
    {"match ending on the last byte counts", "xab", "ab", 0, 1},
    {"one-byte pattern on the last byte", "xyz", "z", 0, 2},
    {"match at the start position itself", "xxab!", "ab", 2, 2},
    {"match at index 0 reads as none", "ab!", "ab", 0, 0},
    {"pattern equal to the whole data", "ab", "ab", 0, 0},
    {"partial match abandoned, scan resumes one byte on", "aaab!", "aab", 0, 1},
    {"earlier match before start is skipped", "abab", "ab", 1, 2},
    {"first of several matches", "-ab-ab-ab", "ab", 0, 1},
    {"no match", "abcdef", "xy", 0, 0},
    {"no match for a one-byte pattern", "abcdef", "x", 0, 0},
    {"no match for a one-byte pattern from the last byte", "abcdef", "x", 5, 0},
    {"first candidate already past the end", "abc", "bc", 2, 0},
    {"start at the size", "abc", "c", 3, 0},
    {"start far past the end", "abc", "a", 100, 0},
    {"pattern longer than data", "ab", "abc", 0, 0},
    {"empty data", "", "a", 0, 0},
    {"NUL bytes are ordinary bytes", "a\0b\0"sv, "\0b"sv, 0, 1},
    {"high bytes", "\xff\xfe\xff", "\xff", 1, 2},
    {"CR LF ending the data", "--B\r\n", "\r\n", 0, 3},
    {"negative start", "abc", "b", -1, 0, RuntimeError::kSubscriptOutOfRange},
    {"empty pattern", "abc", "", 0, 0, RuntimeError::kSubscriptOutOfRange},
    {"start plus length overflows", "abc", "ab", kMax, 0, RuntimeError::kOverflow},
};

TEST(FindBytesTest, SearchTable) {
  for (const SearchCase& c : kSearchCases) {
    ForEachPlacement(c.data, [&](ByteView data, const char* placement) {
      SCOPED_TRACE(std::string(c.what) + " [" + placement + "]");
      for (auto* find : {&FindBytes, &FindBytesReference}) {
        const Checked<Position> found = (*find)(data, AsBytes(c.pattern), c.start);
        EXPECT_EQ(found.error, c.error);
        if (c.error == RuntimeError::kNone) {
          EXPECT_EQ(found.value, c.expected);
        }
      }
    });
  }
}

// Every start position near the end of a guarded buffer, for patterns of
// one byte (the memchr path) and of several bytes.
TEST(FindBytesTest, NeverReadsPastTheEnd) {
  const std::string data = "0123456789abcdef";
  const testing::GuardedBuffer guarded(data);
  for (std::string_view pattern :
       {"f"sv, "z"sv, "ef"sv, "def"sv, "zz"sv, "fz"sv, "0123456789abcdef"sv, "0123456789abcdefg"sv}) {
    for (Position start = 0; start <= SizeOf(guarded.Bytes()) + 2; ++start) {
      SCOPED_TRACE(std::string(pattern) + " from " + std::to_string(start));
      const Checked<Position> found = FindBytes(guarded.Bytes(), AsBytes(pattern), start);
      ASSERT_TRUE(found.ok());
      const std::size_t at = data.find(pattern, static_cast<std::size_t>(start));
      EXPECT_EQ(found.value, at == std::string::npos ? 0 : static_cast<Position>(at));
    }
  }
}

// Seeded, so a failure repeats: small alphabets make matches, partial
// matches and matches at the edges frequent.
TEST(FindBytesTest, AgreesWithPlainScanOnRandomInputs) {
  std::mt19937_64 random(20240611);
  int matches = 0;
  for (int round = 0; round < 20000; ++round) {
    const int alphabet = 1 + static_cast<int>(random() % 4);
    std::vector<std::uint8_t> data(random() % 48);
    std::vector<std::uint8_t> pattern(1 + random() % 5);
    for (auto& b : data) b = static_cast<std::uint8_t>('a' + random() % alphabet);
    for (auto& b : pattern) b = static_cast<std::uint8_t>('a' + random() % alphabet);
    const Position start = static_cast<Position>(random() % (data.size() + 4)) - 2;
    const Checked<Position> expected = FindBytesReference(data, pattern, start);
    const Checked<Position> fast = FindBytes(data, pattern, start);
    ASSERT_EQ(fast.error, expected.error) << "round " << round;
    ASSERT_EQ(fast.value, expected.value) << "round " << round;
    if (expected.value > 0) ++matches;
    const testing::GuardedBuffer guarded(data);
    const Checked<Position> at_end = FindBytes(guarded.Bytes(), pattern, start);
    ASSERT_EQ(at_end.error, expected.error) << "round " << round;
    ASSERT_EQ(at_end.value, expected.value) << "round " << round;
  }
  // The inputs must exercise matches as well as misses.
  EXPECT_GT(matches, 5000);
  EXPECT_LT(matches, 15000);
}

// A long pattern in a long buffer, so that memmem takes its long-needle path.
TEST(FindBytesTest, LongPatternAtTheVeryEnd) {
  std::string data(1 << 20, 'a');
  std::string pattern(300, 'a');
  pattern.back() = 'b';
  data.replace(data.size() - pattern.size(), pattern.size(), pattern);
  const testing::GuardedBuffer guarded(data);
  const Checked<Position> found = FindBytes(guarded.Bytes(), AsBytes(pattern), 0);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value, SizeOf(guarded.Bytes()) - SizeOf(AsBytes(pattern)));
}

}  // namespace
}  // namespace zimrax
