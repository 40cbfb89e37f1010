// ZmFileSave under contention and under write failures: concurrent saves of
// one name, and a write that fails part-way.
#include <signal.h>
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/automation/zm_file.h"

namespace zimrax {
namespace {

using testing::MultipartBody;
using testing::ReadFile;
using testing::ScopedTempDir;

constexpr int kThreads = 12;

// A payload that tells its writer apart and is large enough that writes
// overlap in time.
std::string PayloadOf(int writer) {
  std::string payload(256 * 1024, static_cast<char>('A' + writer));
  payload += "writer " + std::to_string(writer);
  return payload;
}

// Runs one save per thread, all of them released at once.
std::vector<std::pair<Variant, Variant>> SaveConcurrently(const std::string& directory, const char* policy) {
  std::vector<std::string> bodies;
  for (int i = 0; i < kThreads; ++i) bodies.push_back(MultipartBody().File("f", "same.bin", PayloadOf(i)).Build());
  std::vector<std::pair<Variant, Variant>> results(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ZmFile file;  // one object per thread: objects are apartment threaded
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      Variant code;
      Variant form_data = Variant::BorrowBytes(testing::AsBytes(bodies[i]));
      results[i].first = file.ZmFileSave(form_data, Variant("f"), Variant(directory), code, Variant(policy));
      results[i].second = code;
    });
  }
  for (std::thread& thread : threads) thread.join();
  return results;
}

TEST(FileSaveRaceTest, MakeUniqueGivesEveryWriterItsOwnName) {
  ScopedTempDir dir;
  const auto results = SaveConcurrently(dir.Path(), "makeunique");
  std::map<std::string, int> writer_of_name;
  for (int i = 0; i < kThreads; ++i) {
    ASSERT_EQ(results[i].second, Variant(std::int16_t{0})) << results[i].first.ToText();
    const std::string name = results[i].first.ToText();
    EXPECT_TRUE(writer_of_name.emplace(name, i).second) << "name stored twice: " << name;
    EXPECT_EQ(ReadFile(dir.path() / name), PayloadOf(i)) << name;
  }
  EXPECT_EQ(dir.Entries().size(), static_cast<std::size_t>(kThreads));  // no temporary files
}

TEST(FileSaveRaceTest, ErrorPolicyLetsExactlyOneWriterWin) {
  ScopedTempDir dir;
  const auto results = SaveConcurrently(dir.Path(), "error");
  int winner = -1;
  for (int i = 0; i < kThreads; ++i) {
    if (results[i].second == Variant(std::int16_t{0})) {
      EXPECT_EQ(winner, -1) << "two writers succeeded";
      winner = i;
    } else {
      EXPECT_EQ(results[i].second, Variant(std::int16_t{106}));
      EXPECT_EQ(results[i].first, Variant("Error: File Already Exists."));
    }
  }
  ASSERT_NE(winner, -1);
  EXPECT_EQ(ReadFile(dir.path() / "same.bin"), PayloadOf(winner));
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"same.bin"}));
}

TEST(FileSaveRaceTest, OverwriteLeavesOneWholeUpload) {
  ScopedTempDir dir;
  const auto results = SaveConcurrently(dir.Path(), "overwrite");
  for (const auto& result : results) EXPECT_EQ(result.second, Variant(std::int16_t{0}));
  const std::string stored = ReadFile(dir.path() / "same.bin");
  bool matches_one = false;
  for (int i = 0; i < kThreads; ++i) matches_one = matches_one || stored == PayloadOf(i);
  EXPECT_TRUE(matches_one) << "the file mixes writers";
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"same.bin"}));
}

// Lowers the file-size limit so that writes fail part-way with EFBIG,
// instead of killing the process with SIGXFSZ; restores both afterwards.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    saved_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, saved_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t saved_handler_;
};

TEST(FileSaveFailureTest, WriteFailingPartWayLeavesNothingAndKeepsTheOldFile) {
  const std::string big = std::string(1 << 20, 'n');
  const std::string body = MultipartBody().File("f", "a.bin", big).Build();
  for (const char* policy : {"error", "makeunique", "overwrite"}) {
    ScopedTempDir dir;
    const bool has_old = std::string(policy) == "overwrite";
    if (has_old) testing::WriteFile(dir.path() / "a.bin", "old contents");
    Variant result;
    Variant code;
    {
      FileSizeLimit limit(64 * 1024);
      ZmFile file;
      Variant form_data = Variant::BorrowBytes(testing::AsBytes(body));
      result = file.ZmFileSave(form_data, Variant("f"), Variant(dir.Path()), code, Variant(policy));
    }
    EXPECT_EQ(code.Type(), VariantType::kInt16) << policy;
    EXPECT_EQ(code, Variant(std::int16_t{61})) << policy;
    EXPECT_EQ(result, Variant("Disk full")) << policy;
    if (has_old) {
      EXPECT_EQ(ReadFile(dir.path() / "a.bin"), "old contents");
      EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.bin"}));
    } else {
      EXPECT_TRUE(dir.Entries().empty()) << policy;
    }
  }
}

}  // namespace
}  // namespace zimrax
