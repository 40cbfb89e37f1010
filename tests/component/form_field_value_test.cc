// ZmFormFieldValue end to end: values, file names, every result code, the
// faults, and what the call does to ErrorCode and BinaryFormData.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "support/multipart_body.h"
#include "support/source_file.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/class_registry.h"
#include "zimrax/form_data.h"

namespace zimrax {
namespace {

using namespace std::string_literals;
using testing::Close;
using testing::Field;
using testing::FileField;

constexpr std::string_view kHeadOfA = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n";
constexpr std::string_view kFieldNameNotFound = "Error: Form Field Name not found.";
constexpr std::string_view kDispositionNotFound = "Error: Can not locate 'Content-Disposition' text.";
constexpr std::string_view kBadFormFilename = "Error: Bad Form Filename.";
constexpr std::string_view kDataNotFound = "Error: Can not locate form field data.";
constexpr std::int32_t kCallerCode = 77;

Variant BodyOf(std::string_view text) {
  return Variant::FromBytes(std::vector<std::uint8_t>(text.begin(), text.end()));
}

// What one call left behind.
struct Outcome {
  Variant result;
  Variant error_code;
  std::optional<int> fault;

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome Call(ZmFile& file, Variant& body, const Variant& name) {
  Outcome outcome;
  outcome.error_code = Variant(kCallerCode);
  try {
    outcome.result = file.ZmFormFieldValue(body, name, outcome.error_code);
  } catch (const AutomationError& error) {
    outcome.fault = error.Number();
  }
  return outcome;
}

struct ValueCase {
  std::string what;
  std::string body;
  std::string name;
  int code;  // the ErrorCode written, or with a fault, the one left (0 or the caller's)
  std::string result = {};
  std::optional<int> fault = std::nullopt;
};

std::vector<ValueCase> ValueCases() {
  const std::string head(kHeadOfA);
  const std::string section_a = "--B\r\nContent-Disposition: form-data; name=\"a\"";
  return {
      // Plain fields.
      {"two-line value", Field("comment", "line1\r\nline2") + Close(), "comment", 0, "line1\r\nline2"},
      {"empty value", Field("a", "") + Field("b", "2") + Close(), "a", 0, ""},
      {"one-byte value", Field("a", "x") + Close(), "a", 0, "x"},
      {"blank line inside the value", Field("a", "p\r\n\r\nq") + Close(), "a", 0, "p\r\n\r\nq"},
      {"Content-Type line before the data", section_a + "\r\nContent-Type: text/plain\r\n\r\nv\r\n" + Close(), "a", 0,
       "v"},
      {"value runs to the last byte without a later delimiter", head + "hello", "a", 0, "hello"},
      {"delimiter line ending the body ends the value", head + "value\r\n--B", "a", 0, "value"},
      {"delimiter bytes inside the value cut it", head + "abcd--Bxyz\r\n" + Close(), "a", 0, "ab"},
      {"delimiter right at the data start", head + "--B--\r\n", "a", 0, ""},
      {"blank line ends the body", head, "a", 0, ""},
      {"first of two sections alike", Field("a", "1") + Field("a", "2") + Close(), "a", 0, "1"},
      {"third section", Field("x", "1") + Field("y", "2") + Field("z", "3") + Close(), "z", 0, "3"},
      {"filename text on a later header line", section_a + "\r\nX-Note: filename=\"a.txt\"\r\n\r\ndata\r\n" + Close(),
       "a", 0, "data"},
      {"filename text inside the data", Field("a", "filename=\"a.txt\"") + Close(), "a", 0, "filename=\"a.txt\""},
      {"UTF-8 name and value", Field("na\xc3\xafve", "gr\xc3\xbc\xc3\x9f") + Close(), "na\xc3\xafve", 0,
       "gr\xc3\xbc\xc3\x9f"},
      {"bytes that are no valid UTF-8", Field("a", "\xff\x00\xfe"s) + Close(), "a", 0, "\xff\x00\xfe"s},
      // File-upload fields.
      {"file name", FileField("doc", "a.txt", "1,2") + Close(), "doc", 0, "a.txt"},
      {"client path kept whole", FileField("doc", "C:\\docs\\a.txt", "x") + Close(), "doc", 0, "C:\\docs\\a.txt"},
      {"two-byte file name", FileField("doc", "ab", "x") + Close(), "doc", 0, "ab"},
      {"one-byte file name", FileField("doc", "a", "x") + Close(), "doc", 0, "a"},
      {"one-byte file name holding 0", FileField("doc", "\0"s, "x") + Close(), "doc", 0, "\0"s},
      {"file field without a blank line", section_a + "; filename=\"C:\\docs\\a.txt\"\r\n", "a", 0, "C:\\docs\\a.txt"},
      {"empty file name", FileField("doc", "", "x") + Close(), "doc", 104, std::string(kBadFormFilename)},
      // The field search fails.
      {"absent from a complete body", Field("a", "1") + Close(), "b", 102, std::string(kDispositionNotFound)},
      {"absent from a body cut short", Field("a", "1") + Field("c", "2"), "b", 101, std::string(kFieldNameNotFound)},
      {"names are case-sensitive", Field("name", "1") + Close(), "Name", 102, std::string(kDispositionNotFound)},
      {"empty name, complete body", Field("", "1") + Close(), "", 102, std::string(kDispositionNotFound)},
      {"empty name, body cut short", Field("a", "1"), "", 101, std::string(kFieldNameNotFound)},
      {"only delimiter lines", "--B\r\n--B--\r\n", "a", 102, std::string(kDispositionNotFound)},
      {"empty body", "", "a", 102, std::string(kDispositionNotFound)},
      {"no CR LF, name absent", "--B Content-Disposition: form-data; name=\"a\" v", "b", 101,
       std::string(kFieldNameNotFound)},
      // No data.
      {"plain field without a blank line", section_a + "\r\nvalue\r\n" + Close(), "a", 105, std::string(kDataNotFound)},
      {"no CR LF, name found", "--B Content-Disposition: form-data; name=\"a\" v", "a", 105,
       std::string(kDataNotFound)},
      // Faults after ErrorCode was set to 0.
      {"name with no closing quote", section_a.substr(0, section_a.size() - 1), "a", 0, "", 9},
      {"later name with no closing quote", Field("x", "1") + "--B\r\nContent-Disposition: form-data; name=\"y", "y", 0,
       "", 9},
      {"file name with no closing quote", section_a + "; filename=\"abc\r\n\r\ndata", "a", 0, "", 9},
  };
}

void ExpectCase(const ValueCase& c, const Outcome& outcome) {
  EXPECT_EQ(outcome.fault, c.fault);
  EXPECT_EQ(outcome.error_code, Variant(static_cast<std::int16_t>(c.code)));
  if (c.fault) {
    EXPECT_TRUE(outcome.result.IsEmpty());
  } else {
    EXPECT_EQ(outcome.result, Variant(c.result));
  }
}

TEST(FormFieldValueTest, ResultTable) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  for (const ValueCase& c : ValueCases()) {
    testing::ForEachPlacement(c.body, [&](std::span<const std::uint8_t> bytes, const char* placement) {
      SCOPED_TRACE(c.what + " [" + placement + "]");
      Variant body = Variant::BorrowBytes(bytes);
      ExpectCase(c, Call(*file, body, Variant(c.name)));
    });
  }
}

TEST(FormFieldValueTest, WorkedExample) {
  const std::string text = testing::ReadSourceFile("samples/worked_example.txt");
  ASSERT_FALSE(text.empty());
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  Variant body = BodyOf(text);
  const Outcome title = Call(*file, body, "title");
  EXPECT_EQ(title.result, Variant("Q3"));
  EXPECT_EQ(title.error_code, Variant(std::int16_t{0}));
  const Outcome doc = Call(*file, body, "doc");
  EXPECT_EQ(doc.result, Variant("C:\\Reports\\q3.csv"));
  EXPECT_EQ(doc.error_code, Variant(std::int16_t{0}));
}

TEST(FormFieldValueTest, FaultsBeforeTheSearchKeepTheCallersErrorCode) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  Variant good_body = BodyOf(Field("a", "1") + Close());
  const struct {
    std::string what;
    Variant body;
    Variant name;
    int fault;
  } kCases[] = {
      {"body is a string", Variant(Field("a", "1")), Variant("a"), 13},
      {"body is empty", Variant(), Variant("a"), 13},
      {"body is null", Variant::Null(), Variant("a"), 13},
      {"body is a number", Variant(std::int16_t{1}), Variant("a"), 13},
      {"name is null", good_body, Variant::Null(), 94},
      {"name is omitted", good_body, Variant::Missing(), 13},
      {"name is null and body a string", Variant("x"), Variant::Null(), 94},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    Variant body = c.body;
    const Outcome outcome = Call(*file, body, c.name);
    EXPECT_EQ(outcome.fault, c.fault);
    EXPECT_EQ(outcome.error_code, Variant(kCallerCode));
    EXPECT_TRUE(outcome.result.IsEmpty());
  }
}

TEST(FormFieldValueTest, NameTakenInItsTextForm) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  Variant body = BodyOf(Field("42", "number") + Field("xy", "bytes") + Close());
  EXPECT_EQ(Call(*file, body, Variant(std::int16_t{42})).result, Variant("number"));
  EXPECT_EQ(Call(*file, body, Variant(std::int32_t{42})).result, Variant("number"));
  EXPECT_EQ(Call(*file, body, Variant::FromBytes({'x', 'y'})).result, Variant("bytes"));
  // Empty has the text form "", which names no section.
  EXPECT_EQ(Call(*file, body, Variant()).error_code, Variant(std::int16_t{102}));
}

TEST(FormFieldValueTest, ErrorCodeIsOverwrittenWhateverItHeld) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  Variant body = BodyOf(Field("a", "1") + FileField("f", "", "x") + Close());
  for (const Variant& before : {Variant(std::int32_t{5}), Variant(std::int16_t{104}), Variant("text"), Variant::Null(),
                                Variant::Missing(), Variant::FromBytes({1, 2})}) {
    SCOPED_TRACE(VariantTypeName(before.Type()));
    Variant error_code = before;
    EXPECT_EQ(file->ZmFormFieldValue(body, "a", error_code), Variant("1"));
    EXPECT_EQ(error_code, Variant(std::int16_t{0}));
    error_code = before;
    EXPECT_EQ(file->ZmFormFieldValue(body, "f", error_code), Variant(kBadFormFilename));
    EXPECT_EQ(error_code, Variant(std::int16_t{104}));
  }
}

TEST(FormFieldValueTest, ConsecutiveCallsOnOneObjectEqualFreshObjects) {
  const std::vector<ValueCase> cases = ValueCases();
  const std::unique_ptr<ZmFile> shared = CreateObject("ZimraxFileIO.ZmFile");
  for (int round = 0; round < 2; ++round) {
    for (const ValueCase& c : cases) {
      SCOPED_TRACE(c.what);
      Variant body = BodyOf(c.body);
      const Outcome on_shared = Call(*shared, body, Variant(c.name));
      const std::unique_ptr<ZmFile> fresh = CreateObject("ZimraxFileIO.ZmFile");
      EXPECT_EQ(on_shared, Call(*fresh, body, Variant(c.name)));
      ExpectCase(c, on_shared);
    }
  }
}

TEST(FormFieldValueTest, BinaryFormDataUnchanged) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    Variant body = BodyOf(c.body);
    const Variant before = body;
    const std::uint8_t* data = body.Bytes().data();
    (void)Call(*file, body, Variant(c.name));
    EXPECT_EQ(body.Type(), VariantType::kByteArray);
    EXPECT_EQ(body, before);
    EXPECT_EQ(body.Bytes().data(), data);
  }
}

// One variable passed as both BinaryFormData and ErrorCode: the body is read
// as it was when the call began, then the code replaces it.
TEST(FormFieldValueTest, ErrorCodeSharingTheBodyVariable) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  Variant shared = BodyOf(Field("title", "Q3") + Close());
  EXPECT_EQ(file->ZmFormFieldValue(shared, "title", shared), Variant("Q3"));
  EXPECT_EQ(shared, Variant(std::int16_t{0}));

  shared = BodyOf(Field("title", "Q3") + Close());
  std::vector<DispatchArgument> arguments = {DispatchArgument::ByRef(shared), DispatchArgument::ByValue("nope"),
                                             DispatchArgument::ByRef(shared)};
  EXPECT_EQ(file->Invoke(kDispIdZmFormFieldValue, arguments), Variant(kDispositionNotFound));
  EXPECT_EQ(shared, Variant(std::int16_t{102}));
}

// The automation object is an adapter: the typed API gives the same
// outcome, as an OperationResult.
TEST(FormFieldValueTest, TypedApiAgreesWithTheAdapter) {
  const std::unique_ptr<ZmFile> file = CreateObject("ZimraxFileIO.ZmFile");
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    Variant body = BodyOf(c.body);
    const Outcome adapted = Call(*file, body, Variant(c.name));
    const OperationResult typed = FormFieldValue(testing::AsBytes(c.body), c.name);
    if (adapted.fault) {
      EXPECT_EQ(static_cast<int>(typed.fault), *adapted.fault);
      continue;
    }
    EXPECT_FALSE(typed.faulted());
    EXPECT_EQ(typed.width, ErrorCodeWidth::kInt16);
    EXPECT_EQ(Variant(static_cast<std::int16_t>(typed.code)), adapted.error_code);
    EXPECT_EQ(Variant(typed.text), adapted.result);
  }
}

}  // namespace
}  // namespace zimrax
