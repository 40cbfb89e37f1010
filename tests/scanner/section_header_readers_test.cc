// The file name and data start of a located section, each case run in a
// heap buffer and right before a guard page.
#include "scanner/section_header_readers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "guarded_buffer.h"
#include "support/multipart_body.h"
#include "scanner/byte_runs.h"

namespace zimrax {
namespace {

using testing::AsBytes;
using testing::AsText;

constexpr std::string_view kHeader = "--B\r\nContent-Disposition: form-data; name=\"f\"";

// Index of the quote that closes the name "f" in kHeader.
Position NameEnd() { return static_cast<Position>(kHeader.size() - 1); }

struct FilenameCase {
  std::string what;
  std::string rest;                      // what follows kHeader
  std::optional<std::string> filename;   // nullopt: not a file field; "": empty file name
};

TEST(FilenameReadersTest, FileNameOnTheDispositionLine) {
  const FilenameCase kCases[] = {
      {"plain file name", "; filename=\"a.txt\"\r\n\r\ndata\r\n", "a.txt"},
      {"client path kept whole", "; filename=\"C:\\docs\\a.txt\"\r\n\r\ndata\r\n", "C:\\docs\\a.txt"},
      {"one-byte file name", "; filename=\"a\"\r\n\r\n", "a"},
      {"empty file name", "; filename=\"\"\r\n\r\ndata\r\n", ""},
      {"line ends the body", "; filename=\"a.txt\"\r\n", "a.txt"},
      {"file name on a later header line", "\r\nX-Note: filename=\"a.txt\"\r\n\r\ndata\r\n", std::nullopt},
      {"file name inside the data", "\r\n\r\nfilename=\"a.txt\"\r\n", std::nullopt},
      {"no CR LF after the line", "; filename=\"a.txt\"", std::nullopt},
      {"filename without its quote", "; filename=a.txt\r\n\r\n", std::nullopt},
      {"nothing after the name", "", std::nullopt},
  };
  for (const FilenameCase& c : kCases) {
    const std::string text = std::string(kHeader) + c.rest;
    testing::ForEachPlacement(text, [&](ByteView body, const char* placement) {
      SCOPED_TRACE(c.what + " [" + placement + "]");
      const Checked<Position> start = FindFilenameStart(body, NameEnd());
      ASSERT_TRUE(start.ok());
      if (!c.filename) {
        EXPECT_EQ(start.value, 0);
        return;
      }
      EXPECT_EQ(start.value, static_cast<Position>(text.find("filename=\"") + 10));
      const Checked<ByteView> name = ReadQuotedBytes(body, start.value);
      ASSERT_TRUE(name.ok());
      if (c.filename->empty()) {
        EXPECT_TRUE(IsEmptyRun(name.value));
      } else {
        EXPECT_EQ(AsText(name.value), *c.filename);
        EXPECT_FALSE(IsEmptyRun(name.value));
      }
    });
  }
}

TEST(FilenameReadersTest, QuotedBytesWithoutClosingQuoteFail) {
  testing::ForEachPlacement("x; filename=\"abc", [](ByteView body, const char* placement) {
    SCOPED_TRACE(placement);
    EXPECT_EQ(ReadQuotedBytes(body, 13).error, RuntimeError::kSubscriptOutOfRange);
    EXPECT_EQ(ReadQuotedBytes(body, SizeOf(body)).error, RuntimeError::kSubscriptOutOfRange);
    EXPECT_EQ(ReadQuotedBytes(body, -1).error, RuntimeError::kSubscriptOutOfRange);
  });
}

TEST(FindDataStartTest, ByteAfterTheFirstBlankLine) {
  const struct {
    std::string what;
    std::string rest;        // what follows kHeader
    std::optional<std::string> data;  // what follows the blank line; nullopt: none
  } kCases[] = {
      {"blank line after the disposition line", "\r\n\r\nvalue\r\n--B--\r\n", "value\r\n--B--\r\n"},
      {"Content-Type line skipped", "\r\nContent-Type: text/plain\r\n\r\n1,2\r\n", "1,2\r\n"},
      {"only the first blank line ends the headers", "\r\n\r\na\r\n\r\nb", "a\r\n\r\nb"},
      {"blank line ends the body", "\r\n\r\n", ""},
      {"headers never closed", "\r\nContent-Type: text/plain\r\n", std::nullopt},
      {"almost a blank line at the end", "\r\n\r", std::nullopt},
  };
  for (const auto& c : kCases) {
    const std::string text = std::string(kHeader) + c.rest;
    testing::ForEachPlacement(text, [&](ByteView body, const char* placement) {
      SCOPED_TRACE(c.what + " [" + placement + "]");
      const Checked<Position> start = FindDataStart(body, NameEnd());
      ASSERT_TRUE(start.ok());
      if (!c.data) {
        EXPECT_EQ(start.value, 0);
      } else {
        EXPECT_EQ(start.value, SizeOf(body) - static_cast<Position>(c.data->size()));
      }
    });
  }
}

}  // namespace
}  // namespace zimrax
