// The start-up sweep: it removes hidden temporary files whose writer is
// gone, keeps those a live writer holds, and touches no other name.
#include "storage/abandoned_temp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>

#include <gtest/gtest.h>

#include "storage/atomic_file_writer.h"
#include "storage/storage_test_seams.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ScopedTempDir;

// Forces the named temporary files for one test.
class NamedTempFiles {
 public:
  NamedTempFiles() { ForceNamedTempFilesForTesting(true); }
  ~NamedTempFiles() { ForceNamedTempFilesForTesting(false); }
};

std::set<std::string> HiddenTempNames(const ScopedTempDir& dir) {
  std::set<std::string> names;
  for (const std::string& name : dir.Entries()) {
    if (IsTempFileName(name)) names.insert(name);
  }
  return names;
}

TEST(AbandonedTempFilesTest, RemovesOnlyUnlockedFilesOfTheTempNamePattern) {
  ScopedTempDir dir;
  const struct {
    const char* name;
    bool removed;
  } kEntries[] = {
      {".zmfile-abcdefghij012345", true},
      {".zmfile-0000000000000000", true},
      {".zmfile-ABCDEFGHIJ012345", false},   // upper case
      {".zmfile-abcdefghij01234", false},    // 15 characters
      {".zmfile-abcdefghij0123456", false},  // 17 characters
      {".zmfile-abcdefghij01234_", false},   // outside [a-z0-9]
      {"zmfile-abcdefghij0123456", false},   // not hidden
      {".zmfile-", false},
      {"photo.jpg", false},
  };
  for (const auto& entry : kEntries) testing::WriteFile(dir.path() / entry.name, "partial");
  // Pattern names that are not regular files stay, and a link's target too.
  std::filesystem::create_directory(dir.path() / ".zmfile-dddddddddddddddd");
  std::filesystem::create_symlink(dir.path() / "photo.jpg", dir.path() / ".zmfile-llllllllllllllll");

  const AbandonedTempFiles swept = RemoveAbandonedTempFiles(dir.Path());
  EXPECT_EQ(swept.error_number, 0);
  EXPECT_EQ(swept.removed, 2u);
  for (const auto& entry : kEntries) {
    EXPECT_EQ(std::filesystem::exists(dir.path() / entry.name), !entry.removed) << entry.name;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / ".zmfile-dddddddddddddddd"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / ".zmfile-llllllllllllllll"));
  EXPECT_EQ(testing::ReadFile(dir.path() / "photo.jpg"), "partial");

  EXPECT_EQ(RemoveAbandonedTempFiles(dir.Path("missing")).error_number, ENOENT);
}

TEST(AbandonedTempFilesTest, KeepsTheFileOfALiveWriterAndRemovesThatOfAKilledOne) {
  NamedTempFiles named;
  ScopedTempDir dir;
  const Destination destination = DestinationFor(dir.Path(), "a.bin", 0);

  // A live writer, in this process: its file has a hidden name and stays.
  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.Path()).ok());
  ASSERT_TRUE(writer.Append(testing::AsBytes("first half, ")).ok());
  ASSERT_EQ(HiddenTempNames(dir).size(), 1u);
  EXPECT_EQ(RemoveAbandonedTempFiles(dir.Path()).removed, 0u);
  ASSERT_TRUE(writer.Append(testing::AsBytes("second half")).ok());
  ASSERT_TRUE(writer.Publish(destination, ConflictPolicy::kError).ok());
  EXPECT_EQ(testing::ReadFile(dir.path() / "a.bin"), "first half, second half");

  // A writer whose process ends mid-file: its lock ends with it.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    AtomicFileWriter dying;
    const bool written = dying.Open(dir.Path()).ok() && dying.Append(testing::AsBytes("partial")).ok();
    ::_exit(written ? 0 : 1);  // no destructor runs: the file stays
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(HiddenTempNames(dir).size(), 1u);
  EXPECT_EQ(RemoveAbandonedTempFiles(dir.Path()).removed, 1u);
  EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.bin"}));
}

// Sets the modification time of `path` to `age_seconds` ago.
void AgeFile(const std::filesystem::path& path, std::int64_t age_seconds) {
  struct timespec times[2] = {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = std::time(nullptr) - age_seconds;
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST(AbandonedTempFilesTest, AMinimumAgeKeepsUnlockedFilesModifiedRecently) {
  // Unlocked files aged 0, 59, 61 and 3600 s, swept with each minimum age.
  const std::int64_t kAges[] = {0, 59, 61, 3600};
  const struct {
    std::int64_t min_age;
    std::size_t removed;  // the oldest this many go
  } kSweeps[] = {{0, 4}, {60, 2}, {3600, 1}, {7200, 0}};
  for (const auto& sweep : kSweeps) {
    ScopedTempDir dir;
    std::set<std::string> old_enough;
    for (const std::int64_t age : kAges) {
      const std::string name = ".zmfile-age" + std::string(13 - std::to_string(age).size(), '0') + std::to_string(age);
      ASSERT_TRUE(IsTempFileName(name)) << name;
      testing::WriteFile(dir.path() / name, "partial");
      AgeFile(dir.path() / name, age);
      if (age >= sweep.min_age) old_enough.insert(name);
    }
    const AbandonedTempFiles swept = RemoveAbandonedTempFiles(dir.Path(), sweep.min_age);
    EXPECT_EQ(swept.removed, sweep.removed) << "min age " << sweep.min_age;
    EXPECT_EQ(swept.kept_recent, std::size(kAges) - sweep.removed) << "min age " << sweep.min_age;
    EXPECT_EQ(swept.removed, old_enough.size()) << "min age " << sweep.min_age;
    for (const std::string& name : old_enough) EXPECT_FALSE(std::filesystem::exists(dir.path() / name)) << name;
  }
}

TEST(AbandonedTempFilesTest, ALockedFileStaysHoweverOld) {
  NamedTempFiles named;
  ScopedTempDir dir;
  AtomicFileWriter writer;
  ASSERT_TRUE(writer.Open(dir.Path()).ok());
  ASSERT_TRUE(writer.Append(testing::AsBytes("stalled")).ok());
  const std::set<std::string> hidden = HiddenTempNames(dir);
  ASSERT_EQ(hidden.size(), 1u);
  AgeFile(dir.path() / *hidden.begin(), 86400);
  for (const std::int64_t min_age : {0, 60}) {
    const AbandonedTempFiles swept = RemoveAbandonedTempFiles(dir.Path(), min_age);
    EXPECT_EQ(swept.removed, 0u) << min_age;
    EXPECT_EQ(swept.kept_recent, 0u) << min_age;
  }
  EXPECT_EQ(HiddenTempNames(dir), hidden);
}

}  // namespace
}  // namespace zimrax
