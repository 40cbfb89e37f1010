// zmfile save's durability: the order of its fsync calls against the
// publishing link or rename (seen with strace), and a body file that changes
// size while it is read.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "body_reader.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "tools/run_process.h"

namespace zimrax {
namespace {

using testing::ScopedTempDir;

bool IsPublishCall(const std::string& line) {
  for (const char* call : {"linkat(", "renameat2(", "renameat(", "rename("}) {
    if (line.find(call) != std::string::npos) return true;
  }
  return false;
}

TEST(ZmfileDurabilityTest, FsyncSyncsTheFileBeforePublishingAndTheDirectoryAfter) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
  for (const bool fsync : {true, false}) {
    for (const char* policy : {"error", "makeunique", "overwrite"}) {
      SCOPED_TRACE(::testing::Message() << policy << (fsync ? " --fsync" : " without --fsync"));
      ScopedTempDir dir;
      const std::filesystem::path uploads = dir.path() / "uploads";
      std::filesystem::create_directory(uploads);
      if (std::string(policy) != "error") testing::WriteFile(uploads / "a.bin", "old contents");
      testing::WriteFile(dir.path() / "body", testing::MultipartBody().File("f", "a.bin", "new contents").Build());
      const std::string trace = dir.Path("trace");
      // LeakSanitizer cannot run under ptrace: off for a sanitized zmfile.
      std::vector<std::string> command = {"/usr/bin/strace", "-E", "ASAN_OPTIONS=detect_leaks=0", "-f", "-y",
                                          "-o", trace, "-e", "trace=fsync,fdatasync,linkat,renameat2,rename,renameat",
                                          ZIMRAX_ZMFILE_PATH, "save", "--body", dir.Path("body"), "--field", "f",
                                          "--dir", uploads.string(), "--conflict", policy};
      if (fsync) command.push_back("--fsync");
      const testing::ProcessResult run = testing::RunProcess(command);
      if (run.exit_status != 0 && !std::filesystem::exists(trace)) GTEST_SKIP() << "strace cannot trace here: " << run.err;
      ASSERT_EQ(run.exit_status, 0) << run.err;

      std::ifstream in(trace);
      std::string directory_fd = uploads.string();
      directory_fd.insert(0, 1, '<').append(">)");
      int line_number = 0;
      int file_sync = -1;
      int directory_sync = -1;
      int first_publish = -1;
      int last_publish = -1;
      std::ostringstream calls;
      for (std::string line; std::getline(in, line); ++line_number) {
        calls << line << '\n';
        EXPECT_EQ(line.find("fdatasync("), std::string::npos) << "fdatasync leaves a new file's size unsynced";
        if (IsPublishCall(line)) {
          if (first_publish < 0) first_publish = line_number;
          last_publish = line_number;
        } else if (line.find("fsync(") != std::string::npos) {
          (line.find(directory_fd) != std::string::npos ? directory_sync : file_sync) = line_number;
        }
      }
      ASSERT_GE(first_publish, 0) << calls.str();
      if (!fsync) {
        EXPECT_EQ(file_sync, -1) << calls.str();
        EXPECT_EQ(directory_sync, -1) << calls.str();
        continue;
      }
      ASSERT_GE(file_sync, 0) << calls.str();
      EXPECT_LT(file_sync, first_publish) << calls.str();
      EXPECT_GT(directory_sync, last_publish) << calls.str();
      EXPECT_EQ(testing::ReadFile(uploads / (std::string(policy) == "makeunique" ? "a(1).bin" : "a.bin")),
                "new contents");
    }
  }
}

TEST(BodyReaderTest, BodyFileThatChangesSizeWhileReadIsRefused) {
  ScopedTempDir dir;
  const std::string path = dir.Path("body");
  const std::string bytes(std::size_t{3} << 20, 'b');
  const struct {
    const char* label;
    void (*change)(const std::string& path);
    bool ok;
  } kCases[] = {
      {"unchanged", [](const std::string&) {}, true},
      {"truncated to a part of a page", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 5000), 0); }, false},
      {"truncated to nothing", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 0), 0); }, false},
      {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more"; }, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.label);
    testing::WriteFile(path, bytes);
    std::string read;
    const std::string error = zmfile::ReadBodyPieces(
        path, [&](std::span<const std::uint8_t> piece) { read.append(piece.begin(), piece.end()); },
        [&] { c.change(path); });
    EXPECT_EQ(error.empty(), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(read, bytes);
    } else {
      EXPECT_NE(error.find("changed size while it was being read"), std::string::npos) << error;
    }
  }
}

}  // namespace
}  // namespace zimrax
