// zmfile's command line as a process: usage errors name what was wrong and
// every line of them starts with "zmfile:", a body that cannot be read is
// named with the reason, --conflict takes only the three policies (in any
// case), and help and version show the tool as "zmfile".
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/scoped_temp_dir.h"
#include "support/source_file.h"
#include "support/run_process.h"
#include "zimrax/version.h"

namespace zimrax {
namespace {

using testing::ProcessResult;
using testing::RunProcess;
using testing::ScopedTempDir;

const std::string kSample = testing::SourcePath("samples/worked_example.txt");

ProcessResult Zmfile(std::vector<std::string> arguments) {
  return testing::RunZmfile(std::move(arguments));
}

TEST(ZmfileUsageTest, ErrorsNameWhatWasWrongOnLinesOfTheirOwn) {
  ScopedTempDir dir;
  const std::string missing = dir.Path("no-such-body");
  const struct {
    std::vector<std::string> arguments;
    std::vector<std::string> err_holds;  // each must appear in standard error
  } kCases[] = {
      {{}, {"zmfile: ", "zmfile: see 'zmfile --help'\n"}},
      {{"frobnicate"}, {"frobnicate", "zmfile: see 'zmfile --help'\n"}},
      {{"-V"}, {"-V"}},
      {{"value", "--body", kSample, "--field", "title", "--bogus"}, {"--bogus", "see 'zmfile value --help'\n"}},
      {{"value", "--body", kSample}, {"--field"}},
      {{"save", "--body", kSample, "--field", "doc", "--dir", dir.Path(), "--conflict", "rename"},
       {"rename", "error", "overwrite", "makeunique", "see 'zmfile save --help'\n"}},
      {{"save", "--body", kSample, "--field", "doc", "--dir", dir.Path(), "--conflict", ""}, {"--conflict"}},
      {{"serve", "--max-body", "-1"}, {"--max-body"}},
      {{"serve", "--max-body", "0K"}, {"--max-body"}},
      {{"serve", "--max-body", "12Q"}, {"--max-body"}},
      {{"value", "--body", dir.Path(), "--field", "title"},
       {"zmfile: cannot read " + dir.Path() + ": Is a directory\n"}},
      {{"value", "--body", missing, "--field", "title"},
       {"zmfile: cannot read " + missing + ": No such file or directory\n"}},
      {{"save", "--body", missing, "--field", "doc", "--dir", dir.Path()},
       {"zmfile: cannot read " + missing + ": No such file or directory\n"}},
  };
  for (const auto& c : kCases) {
    const ProcessResult result = Zmfile(c.arguments);
    const std::string context = ::testing::PrintToString(c.arguments) + "\n" + result.err;
    EXPECT_EQ(result.exit_status, 2) << context;
    EXPECT_EQ(result.out, "") << context;
    ASSERT_FALSE(result.err.empty()) << context;
    EXPECT_EQ(result.err.back(), '\n') << context;
    std::istringstream lines(result.err);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("zmfile: ", 0), 0u) << context;
    for (const std::string& part : c.err_holds) EXPECT_NE(result.err.find(part), std::string::npos) << context;
    EXPECT_EQ(result.err.find(testing::ZmfilePath()), std::string::npos) << "the tool's path shows: " << context;
  }
  EXPECT_EQ(dir.Entries(), std::set<std::string>{}) << "a refused save stored nothing";
}

// The command line checks the policy's name; the component decides what it
// means, in any case.
TEST(ZmfileUsageTest, ConflictPoliciesInAnyCaseReachTheComponent) {
  ScopedTempDir dir;
  const struct {
    std::string policy;  // "" leaves --conflict out
    int exit_status;
    std::string out;
  } kSteps[] = {
      {"", 0, "q3.csv"},
      {"MakeUnique", 0, "q3(1).csv"},
      {"OVERWRITE", 0, "q3.csv"},
      {"Error", 1, ""},
      {"", 1, ""},
  };
  for (const auto& step : kSteps) {
    std::vector<std::string> arguments = {"save", "--body", kSample, "--field", "doc", "--dir", dir.Path()};
    if (!step.policy.empty()) arguments.insert(arguments.end(), {"--conflict", step.policy});
    const ProcessResult result = Zmfile(arguments);
    EXPECT_EQ(result.exit_status, step.exit_status) << step.policy << ": " << result.err;
    EXPECT_EQ(result.out, step.out) << step.policy;
    if (step.exit_status == 1) {
      EXPECT_EQ(result.err, "zmfile: error 106: Error: File Already Exists.\nzmfile: while storing field \"doc\" into "
                            "directory \"" + dir.Path() + "\"\n");
    }
  }
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"q3.csv", "q3(1).csv"}));
}

TEST(ZmfileUsageTest, HelpAndVersionShowTheToolByName) {
  const struct {
    std::vector<std::string> arguments;
    std::string out_holds;
  } kCases[] = {
      {{"--help"}, "Usage: zmfile [OPTIONS] SUBCOMMAND"},
      {{"save", "--help"}, "zmfile save [OPTIONS]"},
      {{"serve", "--help"}, "--max-body"},
      {{"--version"}, std::string(kVersionString) + "\n"},
  };
  for (const auto& c : kCases) {
    const ProcessResult result = Zmfile(c.arguments);
    const std::string context = ::testing::PrintToString(c.arguments) + "\n" + result.out;
    EXPECT_EQ(result.exit_status, 0) << context << result.err;
    EXPECT_NE(result.out.find(c.out_holds), std::string::npos) << context;
    EXPECT_EQ(result.out.find(testing::ZmfilePath()), std::string::npos) << context;
    EXPECT_EQ(result.err, "") << context;
  }
}

}  // namespace
}  // namespace zimrax
