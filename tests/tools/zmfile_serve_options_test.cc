// zmfile serve's --max-body, read back from a running server: a number of
// bytes, or of binary K, M or G. --sweep-min-age, read from what start-up
// removes and keeps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "server_process.h"

namespace zimrax::testing {
namespace {

TEST(ZmfileServeOptionsTest, MaxBodyTakesBinarySuffixes) {
  const struct {
    std::string given;
    std::uint64_t bytes;
  } kCases[] = {
      {"5000", 5000},
      {"1K", 1024},
      {"3m", 3u << 20},
      {"1G", 1u << 30},
      {"2047M", 2047ull << 20},
      {"8G", 8ull << 30},  // bodies are streamed: no 2 GiB ceiling
  };
  for (const auto& c : kCases) {
    TempDir root;
    ServerProcess server(root.path() / "uploads", {"--max-body", c.given}, root.path() / "server.log");
    ASSERT_TRUE(server.ok()) << c.given << ": " << server.Log();
    const CommandResult config = RunCommand({"curl", "-sS", "--max-time", "20", server.Url("/config")});
    ASSERT_EQ(config.exit_status, 0) << c.given;
    EXPECT_EQ(nlohmann::json::parse(config.out).at("maxBody").get<std::uint64_t>(), c.bytes) << c.given;
    EXPECT_EQ(server.Interrupt(), 0) << server.Log();
  }
}

TEST(ZmfileServeOptionsTest, SweepMinAgeKeepsUnlockedTemporaryFilesModifiedRecently) {
  const struct {
    std::string min_age;  // "" leaves the option out
    const char* removed_line;
    const char* kept_line;  // nullptr: no such line
    bool recent_stays;
  } kCases[] = {
      {"", "removed 2 abandoned temporary files", nullptr, false},
      {"0", "removed 2 abandoned temporary files", nullptr, false},
      {"600", "removed 1 abandoned temporary file ",
       "kept 1 unlocked temporary file modified within --sweep-min-age 600 s", true},
      {"7200", "removed 0 abandoned temporary files", "kept 2 unlocked temporary files", true},
  };
  for (const auto& c : kCases) {
    TempDir root;
    const std::filesystem::path uploads = root.path() / "uploads";
    std::filesystem::create_directories(uploads);
    // Left by killed saves: one an hour ago, one just now; nobody holds them.
    const std::filesystem::path old_file = uploads / ".zmfile-oldoldoldoldoldo";
    const std::filesystem::path recent_file = uploads / ".zmfile-recentrecentrece";
    std::ofstream(old_file) << "partial";
    std::ofstream(recent_file) << "partial";
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = std::time(nullptr) - 3600;
    ASSERT_EQ(::utimensat(AT_FDCWD, old_file.c_str(), times, 0), 0);

    std::vector<std::string> args;
    if (!c.min_age.empty()) args = {"--sweep-min-age", c.min_age};
    ServerProcess server(uploads, args, root.path() / "server.log");
    ASSERT_TRUE(server.ok()) << c.min_age << ": " << server.Log();
    const std::string log = server.Log();
    EXPECT_NE(log.find(c.removed_line), std::string::npos) << c.min_age << ": " << log;
    if (c.kept_line != nullptr) {
      EXPECT_NE(log.find(c.kept_line), std::string::npos) << c.min_age << ": " << log;
    } else {
      EXPECT_EQ(log.find("kept"), std::string::npos) << c.min_age << ": " << log;
    }
    EXPECT_EQ(std::filesystem::exists(recent_file), c.recent_stays) << c.min_age;
    EXPECT_EQ(std::filesystem::exists(old_file), c.min_age == "7200") << c.min_age;
    EXPECT_EQ(server.Interrupt(), 0) << server.Log();
  }
  // Negative ages and ages past 30 days are a usage error (2) before the
  // server starts; one accepted would serve until killed (-1).
  for (const char* refused : {"-1", "2592001", "soon"}) {
    const CommandResult run = RunCommand({ZMFILE_BINARY, "serve", "--port", "0", "--sweep-min-age", refused}, 5);
    EXPECT_EQ(run.exit_status, 2) << refused;
  }
}

}  // namespace
}  // namespace zimrax::testing
