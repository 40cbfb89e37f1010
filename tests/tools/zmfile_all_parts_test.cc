// zmfile value --all / save --all, run as a process: each part's outcome
// in --json is the one `value --field`/`save --field` prints for the first
// part of that name, every file part is stored, and the exit statuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/multipart_body.h"
#include "support/run_process.h"
#include "support/scoped_temp_dir.h"
#include "support/source_file.h"

namespace zimrax {
namespace {

using nlohmann::json;
using testing::Close;
using testing::Field;
using testing::FileField;
using testing::ProcessResult;

std::vector<json> JsonLines(const std::string& out) {
  std::vector<json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line));
  return lines;
}

std::string SampleBody() {
  std::ifstream in(testing::SourcePath("samples/worked_example.txt"), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

const std::vector<std::string>& Bodies() {
  static const std::vector<std::string> bodies = {
      SampleBody(),
      Field("v", "one") + FileField("f", "a.txt", "first\r\n--") + FileField("f", "b.txt", "second") +
          Field("v", "two") + Close(),
      FileField("bad", "..", "x") + FileField("path", "C:\\dir\\c.txt", "c") + Field("empty", "") + Close(),
  };
  return bodies;
}

TEST(ZmfileAllPartsTest, EachValueIsTheOneValuePrintsForTheFirstPartOfItsName) {
  for (const std::string& body : Bodies()) {
    const ProcessResult all = testing::RunZmfile({"value", "--body", "-", "--all", "--json"}, body);
    const std::vector<json> lines = JsonLines(all.out);
    ASSERT_FALSE(lines.empty()) << all.err;
    std::set<std::string> seen;
    int worst = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i]["Index"], i);
      const std::string name = lines[i]["Name"];
      if (lines[i]["Outcome"]["ErrorCode"] != 0) worst = 1;
      if (!seen.insert(name).second) continue;
      const ProcessResult one = testing::RunZmfile({"value", "--body", "-", "--field", name, "--json"}, body);
      EXPECT_EQ(lines[i]["Outcome"], json::parse(one.out)) << name;
    }
    EXPECT_EQ(all.exit_status, worst) << all.err;
  }
}

TEST(ZmfileAllPartsTest, SaveAllStoresEveryFilePart) {
  for (const std::string& body : Bodies()) {
    testing::ScopedTempDir dir;
    const ProcessResult all =
        testing::RunZmfile({"save", "--body", "-", "--all", "--dir", dir.path().string(), "--json"}, body);
    std::size_t stored = 0;
    for (const json& line : JsonLines(all.out)) {
      if (line["FileName"].is_null()) {
        EXPECT_EQ(line["Status"], "skipped");
      } else if (line["Outcome"]["ErrorCode"] == 0) {
        ++stored;
        EXPECT_TRUE(std::filesystem::exists(dir.path() / line["Outcome"]["Result"].get<std::string>()));
      }
    }
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, stored);
  }
  // Both files of the repeated name "f" are stored.
  testing::ScopedTempDir dir;
  const ProcessResult all =
      testing::RunZmfile({"save", "--body", "-", "--all", "--dir", dir.path().string()}, Bodies()[1]);
  EXPECT_EQ(all.exit_status, 0) << all.err;
  EXPECT_EQ(all.out, "f\ta.txt\nf\tb.txt\n");
  std::ifstream first(dir.path() / "a.txt", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(first)), std::istreambuf_iterator<char>()), "first\r\n--");
}

TEST(ZmfileAllPartsTest, LimitsAndUsage) {
  const std::string body = Bodies()[1];
  struct Case {
    std::vector<std::string> arguments;
    int exit_status;
  };
  const std::vector<Case> cases = {
      {{"value", "--body", "-", "--all", "--max-value", "3"}, 1},  // "one", "two" fit; the file names do not
      {{"value", "--body", "-", "--all", "--max-parts", "2"}, 1},
      {{"value", "--body", "-", "--all", "--max-parts", "4"}, 0},
      {{"value", "--body", "-"}, 2},
      {{"value", "--body", "-", "--all", "--field", "v"}, 2},
      {{"value", "--body", "-", "--field", "v", "--max-value", "3"}, 2},
  };
  for (const Case& c : cases) {
    const ProcessResult result = testing::RunZmfile(c.arguments, body);
    std::string command;
    for (const std::string& argument : c.arguments) command += " " + argument;
    EXPECT_EQ(result.exit_status, c.exit_status) << command << "\n" << result.err;
  }
}

}  // namespace
}  // namespace zimrax
