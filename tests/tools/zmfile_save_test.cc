// `zmfile save` as a process: real client bodies made by curl, the output
// and exit-status contract, and --conflict.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>

#include "support/capture_server.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ReadFile;
using testing::ScopedTempDir;
using testing::WriteFile;

struct CommandRun {
  int status = -1;
  std::string out;
};

// Runs `command` through the shell; returns its exit status and stdout.
CommandRun RunCommand(const std::string& command) {
  CommandRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Quote(const std::string& text) {
  std::string quoted(1, '\'');
  quoted.append(text).push_back('\'');
  return quoted;
}

std::string Zmfile() { return Quote(ZIMRAX_ZMFILE_PATH); }

// What curl sends for `form_arguments` (each one a -F value).
std::string CurlBody(const std::vector<std::string>& form_arguments) {
  testing::CaptureServer server;
  std::string command = "curl -s -o /dev/null --max-time 20 -H 'Expect:'";
  for (const std::string& argument : form_arguments) command.append(" -F ").append(Quote(argument));
  command.append(" ").append(server.Url());
  EXPECT_EQ(RunCommand(command).status, 0) << command;
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
      {"CR LF everywhere", "lines.txt", std::string(4096, '\r') + std::string(4096, '\n') + "\r\n\r\n--\r\n--", "lines.txt"},
      {"empty file", "empty.dat", "", "empty.dat"},
      {"UTF-8 name", "résumé 2026 – 東京.pdf", "pdf bytes", "résumé 2026 – 東京.pdf"},
  };
  for (const auto& c : kCases) {
    ScopedTempDir work;
    std::filesystem::create_directory(work.path() / "src");
    std::filesystem::create_directory(work.path() / "out");
    WriteFile(work.path() / "src" / c.file_name, c.data);
    const std::string body =
        CurlBody({"comment=hello", "upload1=@" + work.Path("src/" + c.file_name), "after=x"});
    ASSERT_FALSE(body.empty()) << c.label;
    WriteFile(work.path() / "body", body);

    // The body as a mapped file, and as a stream through a pipe.
    for (const std::string& how : {std::string(" --body ") + Quote(work.Path("body")),
                                   " --body - < " + Quote(work.Path("body")),
                                   std::string(" --body /dev/stdin")}) {
      std::filesystem::remove_all(work.path() / "out");
      std::filesystem::create_directory(work.path() / "out");
      const CommandRun run = RunCommand("cat " + Quote(work.Path("body")) + " | " + Zmfile() + " save" + how +
                                        " --field upload1 --dir " + Quote(work.Path("out")));
      EXPECT_EQ(run.status, 0) << c.label << how;
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
  const CommandRun run = RunCommand(Zmfile() + " save --json --body " + Quote(work.Path("body")) +
                             " --field upload1 --dir " + Quote(work.Path("out")));
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(nlohmann::json::parse(run.out)["Result"], "escape.txt");
  EXPECT_EQ(ReadFile(work.path() / "out" / "escape.txt"), "evil");
  EXPECT_EQ(work.Entries(), (std::set<std::string>{"body", "out", "payload"}));
}

TEST(ZmfileSaveTest, OutputAndExitStatusContract) {
  ScopedTempDir work;
  std::filesystem::create_directory(work.path() / "out");
  WriteFile(work.path() / "body", testing::MultipartBody().Field("title", "Q3").File("doc", "a.txt", "1,2").Build());
  WriteFile(work.path() / "unclosed", "--b\r\nContent-Disposition: form-data; name=\"doc");
  const std::string save = Zmfile() + " save --json --dir " + Quote(work.Path("out")) + " --body ";
  const std::string body = Quote(work.Path("body"));
  const struct {
    std::string arguments;
    int status;
    nlohmann::json expected;  // the fields that must match
  } kCases[] = {
      {body + " --field doc", 0, {{"ErrorCode", 0}, {"ErrorCodeType", "int16"}, {"Result", "a.txt"}, {"Fault", nullptr}}},
      {body + " --field doc", 1, {{"ErrorCode", 106}, {"Result", "Error: File Already Exists."}}},
      {body + " --field doc --conflict error", 1, {{"ErrorCode", 106}}},
      {body + " --field doc --conflict MakeUnique", 0, {{"ErrorCode", 0}, {"Result", "a(1).txt"}}},
      {body + " --field doc --conflict overwrite", 0, {{"ErrorCode", 0}, {"Result", "a.txt"}}},
      {body + " --field title", 1, {{"ErrorCode", 103}, {"Result", "Error: Can not locate filename in form field."}}},
      {Quote(work.Path("unclosed")) + " --field doc", 3,
       {{"ErrorCode", 0}, {"Result", nullptr}, {"Fault", {{"Number", 9}, {"Description", "Subscript out of range"}}}}},
  };
  for (const auto& c : kCases) {
    const CommandRun run = RunCommand(save + c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments;
    const nlohmann::json json = nlohmann::json::parse(run.out, nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << run.out;
    for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(json[key], value) << c.arguments << " " << key;
  }
  // Without --json: a code goes to stderr only; usage errors exit 2.
  const std::string plain = Zmfile() + " save --body " + body + " --field doc --dir " + Quote(work.Path("out"));
  const CommandRun quiet = RunCommand(plain + " 2>/dev/null");
  EXPECT_EQ(quiet.status, 1);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(RunCommand(plain + " 2>&1 >/dev/null").out, "zmfile: error 106: Error: File Already Exists.\n");
  EXPECT_EQ(RunCommand(Zmfile() + " save --body " + body + " --field doc 2>/dev/null").status, 2);
  EXPECT_EQ(RunCommand(Zmfile() + " save --body " + Quote(work.Path("absent")) + " --field doc --dir " +
                       Quote(work.Path("out")) + " 2>/dev/null").status, 2);
}

}  // namespace
}  // namespace zimrax
