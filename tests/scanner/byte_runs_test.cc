// SliceBytes, the empty-run stand-in, BytesEqual and the text conversions.
#include "scanner/byte_runs.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "guarded_buffer.h"
#include "support/multipart_body.h"

namespace zimrax {
namespace {

using namespace std::string_view_literals;
using testing::AsBytes;
using testing::AsText;

TEST(SliceBytesTest, RunsInsideTheData) {
  testing::ForEachPlacement("abcdef", [](ByteView data, const char* placement) {
    SCOPED_TRACE(placement);
    const Checked<ByteView> middle = SliceBytes(data, 1, 3);
    ASSERT_TRUE(middle.ok());
    EXPECT_EQ(AsText(middle.value), "bcd");
    // A view, not a copy.
    EXPECT_EQ(middle.value.data(), data.data() + 1);
    const Checked<ByteView> tail = SliceBytes(data, 3, 3);
    ASSERT_TRUE(tail.ok());
    EXPECT_EQ(AsText(tail.value), "def");
    EXPECT_FALSE(IsEmptyRun(tail.value));
  });
}

TEST(SliceBytesTest, LengthZeroIsTheOneByteStandIn) {
  // Length 0 never reads data, so even a start outside it gives the stand-in.
  for (Position start : {Position{0}, Position{6}, Position{-5}, Position{1000}}) {
    const Checked<ByteView> run = SliceBytes(AsBytes("abcdef"), start, 0);
    ASSERT_TRUE(run.ok());
    ASSERT_EQ(run.value.size(), 1u);
    EXPECT_EQ(run.value[0], 0);
    EXPECT_TRUE(IsEmptyRun(run.value));
  }
  // A real one-byte run holding 0 is not the stand-in.
  const Checked<ByteView> zero = SliceBytes(AsBytes("a\0b"sv), 1, 1);
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero.value[0], 0);
  EXPECT_FALSE(IsEmptyRun(zero.value));
}

TEST(SliceBytesTest, RunsOutsideTheDataFailWithSubscriptOutOfRange) {
  constexpr Position kMax = std::numeric_limits<Position>::max();
  const struct {
    Position start;
    Position length;
  } kCases[] = {{0, -1}, {2, -3}, {-1, 2}, {4, 3}, {6, 1}, {0, 7}, {kMax, 1}, {1, kMax}};
  testing::ForEachPlacement("abcdef", [&](ByteView data, const char* placement) {
    for (const auto& c : kCases) {
      SCOPED_TRACE(std::string(placement) + " start " + std::to_string(c.start) + " length " +
                   std::to_string(c.length));
      EXPECT_EQ(SliceBytes(data, c.start, c.length).error, RuntimeError::kSubscriptOutOfRange);
    }
  });
}

TEST(BytesEqualTest, SameLengthAndSameBytes) {
  const struct {
    std::string_view a, b;
    bool equal;
  } kCases[] = {
      {"file", "file1", false}, {"Name", "name", false}, {"file", "file", true},
      {"a\0"sv, "a\0"sv, true}, {"a\0"sv, "a"sv, false}, {"", "", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.a) + " / " + std::string(c.b));
    EXPECT_EQ(BytesEqual(AsBytes(c.a), AsBytes(c.b)), c.equal);
  }
}

TEST(TextConversionTest, OneCharacterPerByteWithoutTranscoding) {
  const Checked<ByteView> stand_in = SliceBytes(AsBytes("x"), 0, 0);
  EXPECT_EQ(BytesToString(stand_in.value), std::string(1, '\0'));

  const ByteView filename_text = StringToBytes("filename=\"");
  const std::vector<std::uint8_t> expected = {102, 105, 108, 101, 110, 97, 109, 101, 61, 34};
  EXPECT_EQ(std::vector<std::uint8_t>(filename_text.begin(), filename_text.end()), expected);

  // UTF-8 and bytes that are no valid UTF-8 pass both ways unchanged.
  for (std::string_view text : {"na\xc3\xafve"sv, "\xff\xfe\x80"sv, "a\0b"sv}) {
    const ByteView bytes = StringToBytes(text);
    EXPECT_EQ(bytes.size(), text.size());
    EXPECT_EQ(BytesToString(bytes), text);
  }
  EXPECT_TRUE(StringToBytes("").empty());
}

}  // namespace
}  // namespace zimrax
