// Saves killed with SIGKILL at random moments, for each policy: through
// `zmfile save`, through a save with the named temporary files forced, and
// through `zmfile serve`. After every kill the folder holds only complete
// files (an old or a new upload, never a mix) and at most a complete hidden
// file, or a partial hidden one where the temporary files are named; after
// the sweep (which `zmfile serve` runs at start-up) no hidden file is left.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <filesystem>
#include <random>
#include <thread>

#include "server_process.h"
#include "storage/abandoned_temp_files.h"
#include "storage/temp_file.h"

extern char** environ;

namespace zimrax::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kBoundary = "----zimraxKillTestBoundary5fQ2";
constexpr std::size_t kSmallest = std::size_t{1} << 20;
constexpr std::size_t kLargest = std::size_t{4} << 20;

// Upload `round`: a header naming the round and size, then bytes that
// depend on both, so that a file is checked whole against what it claims.
std::string Payload(unsigned round, std::size_t size) {
  std::string payload = "round " + std::to_string(round) + " size " + std::to_string(size) + "\n";
  std::mt19937 random(round);
  while (payload.size() < size) payload += static_cast<char>('a' + random() % 26);
  payload.resize(size);
  return payload;
}

// True when `bytes` is exactly the upload its header names.
bool IsCompleteUpload(const std::string& bytes) {
  unsigned round = 0;
  std::size_t size = 0;
  if (std::sscanf(bytes.c_str(), "round %u size %zu\n", &round, &size) != 2) return false;
  return bytes.size() == size && bytes == Payload(round, size);
}

struct Tally {
  int rounds = 0;
  int killed_mid_save = 0;    // the save had not ended when the kill came
  int hidden_left = 0;        // rounds that left a hidden file for the sweep
};

// Checks the folder after a kill. `partial_hidden_allowed`: a named
// temporary file may be left partial.
void CheckAfterKill(const fs::path& dir, bool partial_hidden_allowed, Tally& tally) {
  bool hidden = false;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    const std::string bytes = ReadFileBytes(entry.path());
    if (IsTempFileName(name)) {
      hidden = true;
      EXPECT_TRUE(partial_hidden_allowed || IsCompleteUpload(bytes)) << "partial hidden file " << name;
    } else {
      EXPECT_TRUE(IsCompleteUpload(bytes)) << "incomplete or mixed file " << name << " of " << bytes.size() << " bytes";
    }
  }
  tally.hidden_left += hidden ? 1 : 0;
}

void ExpectNoHiddenFile(const fs::path& dir) {
  for (const auto& entry : fs::directory_iterator(dir)) {
    EXPECT_FALSE(IsTempFileName(entry.path().filename().string())) << "left after the sweep: " << entry.path();
  }
}

// Removes the stored uploads where a kept one would stop later saves from
// writing: the taken name under "error", the growing list of "makeunique".
void ClearStored(const fs::path& dir, const std::string& policy) {
  if (policy == "overwrite") return;
  for (const auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
}

pid_t Spawn(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Kills `pid` after `delay`; true when it was still running then.
bool KillAfter(pid_t pid, std::chrono::microseconds delay) {
  std::this_thread::sleep_for(delay);
  int status = 0;
  const bool running = ::waitpid(pid, &status, WNOHANG) == 0;
  ::kill(pid, SIGKILL);
  if (running) ::waitpid(pid, &status, 0);
  return running;
}

// Rounds go on for the time given and, on a loaded machine where a round
// takes much longer than usual, past it until enough saves were killed
// part-way to prove anything, up to a hard bound.
constexpr int kEnoughKilledMidSave = 3;
constexpr std::chrono::seconds kHardBound{90};

bool KeepKilling(const Tally& tally, Clock::time_point soft_end, Clock::time_point hard_end) {
  if (::testing::Test::HasFailure()) return false;
  const auto now = Clock::now();
  return now < soft_end || (tally.killed_mid_save < kEnoughKilledMidSave && now < hard_end);
}

using CommandFor = std::function<std::vector<std::string>(const fs::path& body, const fs::path& uploads)>;

void Report(const std::string& what, const Tally& tally, std::chrono::microseconds whole) {
  std::printf("%s: %d rounds, %d killed mid-save, %d left a hidden file (one whole save: %lld us)\n", what.c_str(),
              tally.rounds, tally.killed_mid_save, tally.hidden_left, static_cast<long long>(whole.count()));
}

// Runs saves as processes made by `command_for` for `seconds`, each killed
// after a random delay up to a little more than one whole save takes.
void KillProcessSaves(const CommandFor& command_for, const std::string& policy, bool named, double seconds) {
  TempDir dir;
  const fs::path uploads = dir.path() / "uploads";
  fs::create_directory(uploads);
  const fs::path body_path = dir.path() / "body";
  std::mt19937 random(12345);
  Tally tally;
  WriteFileBytes(body_path, MultipartBody(kBoundary, {{"f", Payload(0, kLargest), true, "a.bin"}}));
  const auto started = Clock::now();
  const pid_t first = Spawn(command_for(body_path, uploads));
  ASSERT_GT(first, 0);
  int status = 0;
  ::waitpid(first, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a save left to finish failed";
  const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
  ClearStored(uploads, policy);

  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto hard_end = Clock::now() + kHardBound;
  for (unsigned round = 1; KeepKilling(tally, end, hard_end); ++round) {
    const std::size_t size = kSmallest + random() % (kLargest - kSmallest + 1);
    WriteFileBytes(body_path, MultipartBody(kBoundary, {{"f", Payload(round, size), true, "a.bin"}}));
    const pid_t pid = Spawn(command_for(body_path, uploads));
    ASSERT_GT(pid, 0);
    const auto delay = std::chrono::microseconds(random() % (whole.count() * 5 / 4 + 1));
    tally.killed_mid_save += KillAfter(pid, delay) ? 1 : 0;
    ++tally.rounds;
    CheckAfterKill(uploads, named, tally);
    RemoveAbandonedTempFiles(uploads.string());
    ExpectNoHiddenFile(uploads);
    ClearStored(uploads, policy);
  }
  Report(policy, tally, whole);
  EXPECT_GE(tally.killed_mid_save, kEnoughKilledMidSave);
}

// The same through `zmfile serve`: an upload is sent, the server killed
// after a random delay, and started again, which sweeps the folder.
void KillServerSaves(const std::string& policy, double seconds) {
  TempDir dir;
  const fs::path uploads = dir.path() / "uploads";
  fs::create_directory(uploads);
  const fs::path log = dir.path() / "log";
  const std::vector<std::string> args = {"--conflict", policy};
  std::mt19937 random(54321);
  Tally tally;
  std::chrono::microseconds whole{};
  {
    ServerProcess server(uploads, args, log);
    ASSERT_TRUE(server.ok()) << server.Log();
    const std::string request =
        UploadRequest(server.port(), kBoundary, MultipartBody(kBoundary, {{"upload1", Payload(0, kLargest), true, "a.bin"}}));
    const auto started = Clock::now();
    const HttpAnswer answer = ParseHttpAnswer(RawExchange(server.port(), request));
    whole = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    ASSERT_EQ(answer.status, 200) << answer.body;
  }
  ClearStored(uploads, policy);

  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  const auto hard_end = Clock::now() + kHardBound;
  for (unsigned round = 1; KeepKilling(tally, end, hard_end); ++round) {
    ServerProcess server(uploads, args, log);
    ASSERT_TRUE(server.ok()) << server.Log();
    ExpectNoHiddenFile(uploads);  // swept at start-up
    ClearStored(uploads, policy);
    const std::size_t size = kSmallest + random() % (kLargest - kSmallest + 1);
    const std::string request =
        UploadRequest(server.port(), kBoundary, MultipartBody(kBoundary, {{"upload1", Payload(round, size), true, "a.bin"}}));
    std::atomic<bool> answered{false};
    std::thread client([&] {
      RawExchange(server.port(), request, 10);
      answered = true;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % (whole.count() * 5 / 4 + 1)));
    tally.killed_mid_save += answered ? 0 : 1;
    server.Kill();
    client.join();
    ++tally.rounds;
    CheckAfterKill(uploads, false, tally);
  }
  ServerProcess last(uploads, args, log);
  ASSERT_TRUE(last.ok()) << last.Log();
  ExpectNoHiddenFile(uploads);
  Report("serve " + policy, tally, whole);
  EXPECT_GE(tally.killed_mid_save, kEnoughKilledMidSave);
}

class KillDuringSaveTest : public ::testing::TestWithParam<const char*> {};

TEST_P(KillDuringSaveTest, ZmfileSaveLeavesOnlyCompleteFiles) {
  const std::string policy = GetParam();
  KillProcessSaves(
      [&](const fs::path& body, const fs::path& uploads) {
        return std::vector<std::string>{ZMFILE_BINARY, "save",   "--body",     body.string(), "--field",
                                        "f",           "--dir", uploads.string(), "--conflict", policy};
      },
      policy, /*named=*/false, 8);
}

TEST_P(KillDuringSaveTest, NamedTemporaryFilesLeaveOnlyCompleteFilesOnceSwept) {
  const std::string policy = GetParam();
  KillProcessSaves(
      [&](const fs::path& body, const fs::path& uploads) {
        return std::vector<std::string>{NAMED_SAVE_DRIVER, body.string(), "f", uploads.string(), policy};
      },
      policy, /*named=*/true, 3);
}

TEST_P(KillDuringSaveTest, ZmfileServeLeavesOnlyCompleteFilesAndSweepsAtStart) { KillServerSaves(GetParam(), 8); }

INSTANTIATE_TEST_SUITE_P(Policies, KillDuringSaveTest, ::testing::Values("error", "makeunique", "overwrite"));

}  // namespace
}  // namespace zimrax::testing
