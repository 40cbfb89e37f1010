#include "storage/file_exists.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/scoped_temp_dir.h"

namespace zimrax {
namespace {

using testing::ScopedTempDir;

TEST(FileExistsTest, AnyDirectoryEntryCountsAsTaken) {
  ScopedTempDir dir;
  testing::WriteFile(dir.path() / "empty", "");
  testing::WriteFile(dir.path() / "file", "data");
  std::filesystem::create_directory(dir.path() / "subdir");
  std::filesystem::create_symlink(dir.path() / "file", dir.path() / "link");
  std::filesystem::create_symlink(dir.path() / "nowhere", dir.path() / "dangling");

  for (const char* name : {"empty", "file", "subdir", "link", "dangling"}) {
    EXPECT_TRUE(FileExists(dir.Path(name))) << name;
  }
  EXPECT_FALSE(FileExists(dir.Path("absent")));
  EXPECT_FALSE(FileExists(dir.Path("absent/below")));
  EXPECT_FALSE(FileExists(dir.Path("file/below")));  // cannot be examined: counts as free
  EXPECT_FALSE(FileExists(std::string("a\0b", 3)));
}

TEST(FileExistsTest, FileLargerThanTwoGibibytes) {
  ScopedTempDir dir;
  const std::string path = dir.Path("sparse");
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, (off_t{3} << 30)), 0);  // sparse: no disk used
  ::close(fd);
  EXPECT_TRUE(FileExists(path));
}

}  // namespace
}  // namespace zimrax
