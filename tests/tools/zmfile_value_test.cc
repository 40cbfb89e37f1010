// zmfile value, run as a process: output bytes, messages and exit statuses
// of the command-line contract, in the raw and the JSON form.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "support/source_file.h"
#include "support/run_process.h"

namespace zimrax {
namespace {

using namespace std::string_literals;
using nlohmann::json;
using testing::Close;
using testing::Field;
using testing::ProcessResult;
using testing::RunProcess;

const std::string kSample = testing::SourcePath("samples/worked_example.txt");

ProcessResult Zmfile(std::vector<std::string> arguments, const std::string& input = "") {
  return testing::RunZmfile(std::move(arguments), input);
}

// `zmfile value` over `body` given on standard input.
ProcessResult ValueOf(const std::string& body, const std::string& field, bool as_json = false) {
  std::vector<std::string> arguments = {"value", "--body", "-", "--field", field};
  if (as_json) arguments.push_back("--json");
  return Zmfile(arguments, body);
}

// The single line of JSON output, parsed.
json JsonLine(const ProcessResult& result) {
  EXPECT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.back(), '\n');
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "more than one line";
  return json::parse(result.out);
}

TEST(ZmfileValueTest, WorkedExampleFromAFile) {
  const ProcessResult title = Zmfile({"value", "--body", kSample, "--field", "title"});
  EXPECT_EQ(title.exit_status, 0) << title.err;
  EXPECT_EQ(title.out, "Q3");
  EXPECT_EQ(title.err, "");
  const ProcessResult doc = Zmfile({"value", "--body", kSample, "--field", "doc"});
  EXPECT_EQ(doc.exit_status, 0) << doc.err;
  EXPECT_EQ(doc.out, "C:\\Reports\\q3.csv");
}

TEST(ZmfileValueTest, ValueBytesExactlyAsReturned) {
  for (const std::string& value : {"hello"s, ""s, "line1\r\nline2\r\n"s, "\xff\x00\xfe bytes"s, "na\xc3\xafve"s}) {
    const ProcessResult result = ValueOf(Field("f", value) + Close(), "f");
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, value);
    EXPECT_EQ(result.err, "");
  }
}

TEST(ZmfileValueTest, NonZeroErrorCode) {
  // The component's message exactly, then a line naming the field looked
  // for and, when it is missing, the fields the body has.
  const std::string kNoDisposition = "zmfile: error 102: Error: Can not locate 'Content-Disposition' text.\n";
  const struct {
    std::string body;
    std::string field;
    std::string message;
  } kCases[] = {
      {Field("a", "1") + Close(), "b", kNoDisposition + "zmfile: while reading field \"b\" (the body's fields: \"a\")\n"},
      {Field("a", "1"), "b",
       "zmfile: error 101: Error: Form Field Name not found.\nzmfile: while reading field \"b\" (the body's fields: "
       "\"a\")\n"},
      {testing::FileField("a", "", "x") + Close(), "a",
       "zmfile: error 104: Error: Bad Form Filename.\nzmfile: while reading field \"a\"\n"},
      {"--B\r\nContent-Disposition: form-data; name=\"a\"\r\nv\r\n", "a",
       "zmfile: error 105: Error: Can not locate form field data.\nzmfile: while reading field \"a\"\n"},
      {Field("a", "1") + Field("q\\\x01", "2") + Close(), "\\",
       kNoDisposition + "zmfile: while reading field \"\\x5c\" (the body's fields: \"a\", \"q\\x5c\\x01\")\n"},
      {"", "a", kNoDisposition + "zmfile: while reading field \"a\" (the body has no form fields)\n"},
      {Field("a", "1") + Close(), std::string(300, 'n'),
       kNoDisposition + "zmfile: while reading field \"" + std::string(256, 'n') + "...\" (the body's fields: \"a\")\n"},
  };
  for (const auto& c : kCases) {
    const ProcessResult result = ValueOf(c.body, c.field);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.message);
  }
}

// At most 8 of the body's field names are listed, each cut at 40 bytes.
TEST(ZmfileValueTest, MissingFieldListsAFewOfTheBodysFields) {
  std::string body;
  for (int i = 0; i < 12; ++i) body += Field(std::string(50, static_cast<char>('a' + i)), "v");
  const ProcessResult result = ValueOf(body + Close(), "nope");
  EXPECT_EQ(result.exit_status, 1);
  std::string expected = "(the body's fields: ";
  for (int i = 0; i < 8; ++i) expected += (i ? ", \"" : "\"") + std::string(40, static_cast<char>('a' + i)) + "...\"";
  EXPECT_NE(result.err.find(expected + ", ...)\n"), std::string::npos) << result.err;
}

TEST(ZmfileValueTest, EmptyBodyFile) {
  const std::string path = ::testing::TempDir() + "zmfile_empty_body";
  std::ofstream(path).close();
  const ProcessResult result = Zmfile({"value", "--body", path, "--field", "a"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err,
            "zmfile: error 102: Error: Can not locate 'Content-Disposition' text.\nzmfile: while reading field \"a\" "
            "(the body has no form fields)\n");
  std::remove(path.c_str());
}

TEST(ZmfileValueTest, Fault) {
  const ProcessResult result = ValueOf("--B\r\nContent-Disposition: form-data; name=\"a", "a");
  EXPECT_EQ(result.exit_status, 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "zmfile: fault 9: Subscript out of range\nzmfile: while reading field \"a\"\n");
}

TEST(ZmfileValueTest, JsonForms) {
  const json ok = JsonLine(ValueOf(Field("a", "Q3") + Close(), "a", true));
  EXPECT_EQ(ok, json::parse(R"({"ErrorCode": 0, "ErrorCodeType": "int16", "Result": "Q3", "Fault": null})"));

  const ProcessResult error_run = ValueOf(Field("a", "1") + Close(), "b", true);
  EXPECT_EQ(error_run.exit_status, 1);
  EXPECT_EQ(JsonLine(error_run),
            json::parse(R"({"ErrorCode": 102, "ErrorCodeType": "int16",
                            "Result": "Error: Can not locate 'Content-Disposition' text.", "Fault": null})"));

  const ProcessResult fault_run = ValueOf("--B\r\nContent-Disposition: form-data; name=\"a", "a", true);
  EXPECT_EQ(fault_run.exit_status, 3);
  EXPECT_EQ(JsonLine(fault_run),
            json::parse(R"({"ErrorCode": 0, "ErrorCodeType": "int16", "Result": null,
                            "Fault": {"Number": 9, "Description": "Subscript out of range"}})"));

  // Bytes that are no valid UTF-8 come as base64.
  const ProcessResult binary_run = ValueOf(Field("a", "\xff\x00\xfe"s) + Close(), "a", true);
  EXPECT_EQ(binary_run.exit_status, 0);
  EXPECT_EQ(JsonLine(binary_run),
            json::parse(R"({"ErrorCode": 0, "ErrorCodeType": "int16", "Result": null, "ResultBase64": "/wD+",
                            "Fault": null})"));

  const json utf8 = JsonLine(ValueOf(Field("a", "na\xc3\xafve") + Close(), "a", true));
  EXPECT_EQ(utf8["Result"], "na\xc3\xafve");
  EXPECT_FALSE(utf8.contains("ResultBase64"));
}

TEST(ZmfileValueTest, UsageErrors) {
  const std::string see_value = "zmfile: see 'zmfile value --help'\n";
  const struct {
    std::vector<std::string> arguments;
    std::string err;  // all of standard error
  } kCases[] = {
      {{}, "zmfile: A subcommand is required\nzmfile: see 'zmfile --help'\n"},
      {{"value"}, "zmfile: --body is required\n" + see_value},
      {{"value", "--body", kSample}, "zmfile: --field is required\n" + see_value},
      {{"value", "--field", "title"}, "zmfile: --body is required\n" + see_value},
      {{"value", "--body", kSample, "--field", "title", "--bogus"},
       "zmfile: The following argument was not expected: --bogus\n" + see_value},
      {{"nosuchcommand"},
       "zmfile: unknown command 'nosuchcommand' (commands: value, save, serve)\nzmfile: see 'zmfile --help'\n"},
      {{"value", "--body", kSample + ".does-not-exist", "--field", "title"},
       "zmfile: cannot read " + kSample + ".does-not-exist: No such file or directory\n"},
  };
  for (const auto& c : kCases) {
    const ProcessResult result = Zmfile(c.arguments);
    EXPECT_EQ(result.exit_status, 2) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.out, "") << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, c.err) << ::testing::PrintToString(c.arguments);
  }
}

TEST(UsageExampleTest, PrintsTheFieldValues) {
  testing::ScopedTempDir dir;
  for (const char* stored : {"q3.csv", "q3(1).csv"}) {
    const ProcessResult result = RunProcess({USAGE_EXAMPLE_PATH, dir.Path()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, std::string("title: ErrorCode 0, Q3\n"
                                      "doc: ErrorCode 0, q3.csv\n"
                                      "year: ErrorCode 102, Error: Can not locate 'Content-Disposition' text.\n"
                                      "saved: ErrorCode 0, ") + stored + "\n");
    EXPECT_EQ(testing::ReadFile(dir.path() / stored), "1,2");
  }
  const ProcessResult automation = RunProcess({AUTOMATION_EXAMPLE_PATH});
  EXPECT_EQ(automation.exit_status, 0) << automation.err;
  EXPECT_EQ(automation.out, "title: ErrorCode 0, Q3\n");
}

}  // namespace
}  // namespace zimrax
