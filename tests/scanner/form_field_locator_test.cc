// The delimiter line, section names and the walk from section to section,
// each case run in a heap buffer and right before a guard page.
#include "scanner/form_field_locator.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "guarded_buffer.h"
#include "support/multipart_body.h"
#include "scanner/byte_runs.h"

namespace zimrax {
namespace {

using namespace std::string_view_literals;
using testing::AsBytes;
using testing::AsText;
using testing::Close;
using testing::Field;


TEST(BoundaryLineTest, BytesBeforeTheFirstCrLf) {
  const struct {
    std::string_view body;
    std::optional<std::string_view> line;  // nullopt: the empty-run stand-in
  } kCases[] = {
      {"--B\r\nrest\r\n", "--B"},
      {"--B\r\n", "--B"},  // a CR LF that ends the body counts
      {"-\r\n", "-"},
      {"\r\n--B\r\n", std::nullopt},
      {"--B no line break", std::nullopt},
      {"--B\r", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : kCases) {
    testing::ForEachPlacement(c.body, [&](ByteView body, const char* placement) {
      SCOPED_TRACE(std::string(c.body) + " [" + placement + "]");
      const Checked<ByteView> line = BoundaryLineOf(body);
      ASSERT_TRUE(line.ok());
      if (c.line) {
        EXPECT_EQ(AsText(line.value), *c.line);
      } else {
        EXPECT_TRUE(IsEmptyRun(line.value));
      }
    });
  }
}

enum class NameKind { kName, kEmpty, kQuoteRun, kFault };

struct NameCase {
  std::string what;
  std::string body;
  Position start;
  NameKind kind;
  std::string name = {};
};

TEST(ReadFieldNameBytesTest, NameUpToTheNextQuote) {
  const std::string n120(120, 'n');
  const std::string n121(121, 'n');
  const NameCase kCases[] = {
      {"ordinary", "ab\"cd\"", 0, NameKind::kName, "ab"},
      {"from the middle", "xxab\"", 2, NameKind::kName, "ab"},
      {"quote on the last byte", "abc\"", 0, NameKind::kName, "abc"},
      {"immediately closing quote", "\"x\"", 0, NameKind::kEmpty},
      {"120 bytes", n120 + "\"", 0, NameKind::kName, n120},
      {"121 bytes", n121 + "\"", 0, NameKind::kQuoteRun},
      {"far longer", std::string(5000, 'n') + "\"tail", 0, NameKind::kQuoteRun},
      {"no quote", "abc", 0, NameKind::kFault},
      {"no quote within 121 bytes nor after", n121, 0, NameKind::kFault},
      {"only a quote before start", "\"abc", 1, NameKind::kFault},
      {"start at the size", "ab\"", 3, NameKind::kFault},
      {"start past the size", "ab\"", 4, NameKind::kFault},
      {"negative start", "ab\"", -1, NameKind::kFault},
      {"empty body", "", 0, NameKind::kFault},
  };
  for (const auto& c : kCases) {
    testing::ForEachPlacement(c.body, [&](ByteView body, const char* placement) {
      SCOPED_TRACE(c.what + " [" + placement + "]");
      QuoteLocator quotes(body);
      const Checked<ByteView> name = ReadFieldNameBytes(body, c.start, quotes);
      if (c.kind == NameKind::kFault) {
        EXPECT_EQ(name.error, RuntimeError::kSubscriptOutOfRange);
        return;
      }
      ASSERT_TRUE(name.ok());
      if (c.kind == NameKind::kEmpty) {
        EXPECT_TRUE(IsEmptyRun(name.value));
      } else if (c.kind == NameKind::kQuoteRun) {
        EXPECT_EQ(AsText(name.value), "\"");
      } else {
        EXPECT_EQ(AsText(name.value), c.name);
      }
    });
  }
}

// Expected outcome: the closing quote of the first `name="..."` that equals
// `marker`, a result code, or a fault.
struct LocateCase {
  std::string what;
  std::string body;
  std::string wanted;
  std::string marker = {};
  ResultCode code = ResultCode::kOk;
  RuntimeError fault = RuntimeError::kNone;
};

std::vector<LocateCase> LocateCases() {
  const std::string n120(120, 'n');
  const std::string n121(121, 'n');
  const std::string two = Field("one", "1") + Field("two", "2");
  return {
      {"third section", two + Field("three", "3") + Close(), "three", "name=\"three\""},
      {"first section", two + Close(), "one", "name=\"one\""},
      {"absent from a complete body", two + Close(), "x", "", ResultCode::kDispositionNotFound},
      {"absent from a body cut short", two, "x", "", ResultCode::kFieldNameNotFound},
      {"only the delimiter and the close delimiter", "--B\r\n--B--\r\n", "x", "", ResultCode::kDispositionNotFound},
      {"no near misses", Field("file1", "1") + Field("File", "2") + Close(), "file", "",
       ResultCode::kDispositionNotFound},
      {"case-sensitive", Field("name", "1") + Close(), "Name", "", ResultCode::kDispositionNotFound},
      {"name of 120 bytes", Field(n120, "1") + Close(), n120, "name=\"" + n120 + "\""},
      {"name of 121 bytes never matches", Field(n121, "1") + Close(), n121, "", ResultCode::kDispositionNotFound},
      {"empty section name passed over", Field("", "1") + Field("x", "2") + Close(), "x", "name=\"x\""},
      {"empty wanted name matches no section", Field("", "1") + Close(), "", "", ResultCode::kDispositionNotFound},
      {"empty wanted name, body cut short", Field("a", "1"), "", "", ResultCode::kFieldNameNotFound},
      {"first of two alike", Field("a", "1") + Field("a", "2") + Close(), "a", "name=\"a\""},
      {"section without disposition passed over", "--B\r\nX-Other: y\r\n\r\nv\r\n" + Field("a", "1") + Close(), "a",
       "name=\"a\""},
      {"disposition text spelled otherwise", "--B\r\ncontent-disposition: form-data; name=\"a\"\r\n\r\n1\r\n" + Close(),
       "a", "", ResultCode::kDispositionNotFound},
      {"UTF-8 name", Field("na\xc3\xafve", "1") + Close(), "na\xc3\xafve", "name=\"na\xc3\xafve\""},
      {"body beginning with CR LF", "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv", "a", "name=\"a\""},
      {"closing quote on the last byte", "--B\r\nContent-Disposition: form-data; name=\"a\"", "a", "name=\"a\""},
      {"name with no closing quote", "--B\r\nContent-Disposition: form-data; name=\"abc", "abc", "", ResultCode::kOk,
       RuntimeError::kSubscriptOutOfRange},
      {"later name with no closing quote", Field("a", "1") + "--B\r\nContent-Disposition: form-data; name=\"b", "b", "",
       ResultCode::kOk, RuntimeError::kSubscriptOutOfRange},
  };
}

TEST(LocateFormFieldTest, WalksTheSections) {
  for (const LocateCase& c : LocateCases()) {
    testing::ForEachPlacement(c.body, [&](ByteView body, const char* placement) {
      SCOPED_TRACE(c.what + " [" + placement + "]");
      const Checked<ByteView> boundary = BoundaryLineOf(body);
      ASSERT_TRUE(boundary.ok());
      const Checked<LocatedField> located = LocateFormField(body, AsBytes(c.wanted), boundary.value);
      EXPECT_EQ(located.error, c.fault);
      if (c.fault != RuntimeError::kNone) return;
      EXPECT_EQ(located.value.code, c.code);
      if (c.code != ResultCode::kOk) {
        EXPECT_EQ(located.value.name_end, 0);
        return;
      }
      const std::size_t marker = c.body.find(c.marker);
      ASSERT_NE(marker, std::string::npos);
      EXPECT_EQ(located.value.name_end, static_cast<Position>(marker + c.marker.size() - 1));
      EXPECT_EQ(body[static_cast<std::size_t>(located.value.name_end)], '"');
    });
  }
}

TEST(LocateFormFieldTest, FirstPassFindsTheNameClosingQuote) {
  // Delimiter "--XYZ" (5 bytes), CR LF, disposition text at 7, name at 45.
  const std::string body = "--XYZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--XYZ--\r\n";
  const Checked<ByteView> boundary = BoundaryLineOf(AsBytes(body));
  const Checked<LocatedField> located = LocateFormField(AsBytes(body), AsBytes("a"), boundary.value);
  ASSERT_TRUE(located.ok());
  EXPECT_EQ(located.value.code, ResultCode::kOk);
  EXPECT_EQ(located.value.name_end, 46);
}

}  // namespace
}  // namespace zimrax
