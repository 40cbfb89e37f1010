// `zmfile save` as a process: real client bodies made by curl, the output
// and exit-status contract, and --conflict.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "support/capture_server.h"
#include "support/multipart_body.h"
#include "support/run_process.h"
#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ProcessResult;
using testing::ReadFile;
using testing::RunProcess;
using testing::RunZmfile;
using testing::ScopedTempDir;
using testing::WriteFile;

// What curl sends for `form_arguments` (each one a -F value).
std::string CurlBody(const std::vector<std::string>& form_arguments) {
  testing::CaptureServer server;
  std::vector<std::string> command = {"curl", "-s", "-o", "/dev/null", "--max-time", "20", "-H", "Expect:"};
  for (const std::string& argument : form_arguments) {
    command.push_back("-F");
    command.push_back(argument);
  }
  command.push_back(server.Url());
  const ProcessResult curl = RunProcess(command);
  EXPECT_EQ(curl.exit_status, 0) << curl.err;
  return server.Body();
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

TEST(ZmfileSaveTest, StoresWhatCurlUploadsByteForByte) {
  const struct {
    const char* label;
    std::string file_name;  // as given to curl
    std::string data;
    std::string stored;  // expected stored name
  } kCases[] = {
      {"random binary", "blob.bin", RandomBytes(1 << 20, 1), "blob.bin"},
      {"CR LF everywhere", "lines.txt", std::string(4096, '\r') + std::string(4096, '\n') + "\r\n\r\n--\r\n--",
       "lines.txt"},
      {"empty file", "empty.dat", "", "empty.dat"},
      {"UTF-8 name", "résumé 2026 – 東京.pdf", "pdf bytes", "résumé 2026 – 東京.pdf"},
  };
  for (const auto& c : kCases) {
    ScopedTempDir work;
    std::filesystem::create_directory(work.path() / "src");
    std::filesystem::create_directory(work.path() / "out");
    WriteFile(work.path() / "src" / c.file_name, c.data);
    const std::string body = CurlBody({"comment=hello", "upload1=@" + work.Path("src/" + c.file_name), "after=x"});
    ASSERT_FALSE(body.empty()) << c.label;
    WriteFile(work.path() / "body", body);

    // The body as a file, on standard input, and through /dev/stdin (a pipe).
    const std::string body_bytes = ReadFile(work.path() / "body");
    for (const std::string& how : {work.Path("body"), std::string("-"), std::string("/dev/stdin")}) {
      std::filesystem::remove_all(work.path() / "out");
      std::filesystem::create_directory(work.path() / "out");
      const ProcessResult run = RunZmfile({"save", "--body", how, "--field", "upload1", "--dir", work.Path("out")},
                                          how == work.Path("body") ? "" : body_bytes);
      EXPECT_EQ(run.exit_status, 0) << c.label << how;
      EXPECT_EQ(run.out, c.stored) << c.label << how;  // exactly the name, no newline
      EXPECT_EQ(ReadFile(work.path() / "out" / c.stored), c.data) << c.label << how;
      EXPECT_EQ(std::distance(std::filesystem::directory_iterator(work.path() / "out"),
                              std::filesystem::directory_iterator()),
                1)
          << c.label << how;
    }
  }
}

TEST(ZmfileSaveTest, ClientChosenFileNameCannotEscape) {
  ScopedTempDir work;
  std::filesystem::create_directory(work.path() / "out");
  WriteFile(work.path() / "payload", "evil");
  const std::string body = CurlBody({"upload1=@" + work.Path("payload") + ";filename=../../escape.txt"});
  WriteFile(work.path() / "body", body);
  const ProcessResult run =
      RunZmfile({"save", "--json", "--body", work.Path("body"), "--field", "upload1", "--dir", work.Path("out")});
  ASSERT_EQ(run.exit_status, 0);
  EXPECT_EQ(nlohmann::json::parse(run.out)["Result"], "escape.txt");
  EXPECT_EQ(ReadFile(work.path() / "out" / "escape.txt"), "evil");
  EXPECT_EQ(work.Entries(), (std::set<std::string>{"body", "out", "payload"}));
}

TEST(ZmfileSaveTest, OutputAndExitStatusContract) {
  ScopedTempDir work;
  std::filesystem::create_directory(work.path() / "out");
  WriteFile(work.path() / "body", testing::MultipartBody().Field("title", "Q3").File("doc", "a.txt", "1,2").Build());
  WriteFile(work.path() / "unclosed", "--b\r\nContent-Disposition: form-data; name=\"doc");
  const std::string body = work.Path("body");
  const struct {
    std::vector<std::string> arguments;  // after save --json --dir OUT --body
    int status;
    nlohmann::json expected;  // the fields that must match
  } kCases[] = {
      {{body, "--field", "doc"},
       0,
       {{"ErrorCode", 0}, {"ErrorCodeType", "int16"}, {"Result", "a.txt"}, {"Fault", nullptr}}},
      {{body, "--field", "doc"}, 1, {{"ErrorCode", 106}, {"Result", "Error: File Already Exists."}}},
      {{body, "--field", "doc", "--conflict", "error"}, 1, {{"ErrorCode", 106}}},
      {{body, "--field", "doc", "--conflict", "MakeUnique"}, 0, {{"ErrorCode", 0}, {"Result", "a(1).txt"}}},
      {{body, "--field", "doc", "--conflict", "overwrite"}, 0, {{"ErrorCode", 0}, {"Result", "a.txt"}}},
      {{body, "--field", "title"},
       1,
       {{"ErrorCode", 103}, {"Result", "Error: Can not locate filename in form field."}}},
      {{work.Path("unclosed"), "--field", "doc"},
       3,
       {{"ErrorCode", 0}, {"Result", nullptr}, {"Fault", {{"Number", 9}, {"Description", "Subscript out of range"}}}}},
  };
  for (const auto& c : kCases) {
    std::vector<std::string> arguments = {"save", "--json", "--dir", work.Path("out"), "--body"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ProcessResult run = RunZmfile(arguments);
    EXPECT_EQ(run.exit_status, c.status) << c.arguments[0] << " " << c.arguments[2];
    const nlohmann::json json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << run.out;
    for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(json[key], value) << c.arguments[2] << " " << key;
  }
  // Without --json: a code goes to stderr only; usage errors exit 2.
  const ProcessResult plain = RunZmfile({"save", "--body", body, "--field", "doc", "--dir", work.Path("out")});
  EXPECT_EQ(plain.exit_status, 1);
  EXPECT_EQ(plain.out, "");
  EXPECT_EQ(plain.err, "zmfile: error 106: Error: File Already Exists.\nzmfile: while storing field \"doc\" into "
                       "directory \"" + work.Path("out") + "\"\n");
  // A missing directory: the component's text stays exact, the next line
  // names the path it was given.
  const ProcessResult missing = RunZmfile({"save", "--body", body, "--field", "doc", "--dir", "no/such/dir"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.err, "zmfile: error 76: Path not found\nzmfile: while storing field \"doc\" into directory "
                         "\"no/such/dir\"\n");
  EXPECT_EQ(RunZmfile({"save", "--body", body, "--field", "doc"}).exit_status, 2);
  EXPECT_EQ(RunZmfile({"save", "--body", work.Path("absent"), "--field", "doc", "--dir", work.Path("out")}).exit_status,
            2);
}

}  // namespace
}  // namespace zimrax
