// FileSave where the file system refuses or fails late: an error close()
// reports before publishing, and a directory that refuses new files under
// "overwrite" (the width of ErrorCode tells a failed replace).
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "storage/storage_test_seams.h"
#include "support/multipart_body.h"
#include "support/scoped_temp_dir.h"
#include "zimrax/form_data.h"
#include "zimrax/form_stream.h"

namespace zimrax {
namespace {

using testing::MultipartBody;
using testing::ReadFile;
using testing::ScopedTempDir;

TEST(FileSaveDurabilityTest, ErrorAtCloseIsDeviceIoErrorWithNothingPublished) {
  const std::string body = MultipartBody().File("f", "a.bin", std::string(200000, 'n')).Build();
  for (const bool named : {false, true}) {
    ForceNamedTempFilesForTesting(named);
    for (const ConflictPolicy policy : {ConflictPolicy::kError, ConflictPolicy::kMakeUnique, ConflictPolicy::kOverwrite}) {
      for (const bool durable : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "named " << named << ", policy " << static_cast<int>(policy)
                                          << ", durable " << durable);
        ScopedTempDir dir;
        const bool has_old = policy == ConflictPolicy::kOverwrite;
        if (has_old) testing::WriteFile(dir.path() / "a.bin", "old contents");
        FailNextCloseCheckForTesting(EIO);
        const OperationResult result =
            FileSave(testing::AsBytes(body), "f", dir.Path(), policy, SaveOptions{.durable = durable});
        EXPECT_EQ(result.code, 57);
        EXPECT_EQ(result.text, "Device I/O error");
        EXPECT_EQ(result.width, ErrorCodeWidth::kInt16);
        EXPECT_EQ(result.platform_errno, EIO);
        if (has_old) {
          EXPECT_EQ(ReadFile(dir.path() / "a.bin"), "old contents");
          EXPECT_EQ(dir.Entries(), (std::set<std::string>{"a.bin"}));
        } else {
          EXPECT_TRUE(dir.Entries().empty());
        }
        // The check fails once; the next save goes through.
        const OperationResult again = FileSave(testing::AsBytes(body), "f", dir.Path(), ConflictPolicy::kOverwrite);
        EXPECT_TRUE(again.ok()) << again.text;
      }
    }
  }
  ForceNamedTempFilesForTesting(false);
}

// Makes a directory refuse new entries for the life of the object: the
// immutable attribute where the file system and the privileges allow it
// (EPERM), else mode 0555 for a process that is not root (EACCES).
class RefusingDirectory {
 public:
  explicit RefusingDirectory(const std::filesystem::path& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    if (fd_ >= 0 && ::ioctl(fd_, FS_IOC_GETFLAGS, &flags) == 0) {
      const int immutable = flags | FS_IMMUTABLE_FL;
      if (::ioctl(fd_, FS_IOC_SETFLAGS, &immutable) == 0) {
        flags_ = flags;
        how_ = "immutable attribute";
        return;
      }
    }
    if (::geteuid() != 0 && ::chmod(path.c_str(), 0555) == 0) how_ = "mode 0555";
  }
  ~RefusingDirectory() {
    if (flags_ >= 0) ::ioctl(fd_, FS_IOC_SETFLAGS, &flags_);
    if (how_ == "mode 0555") ::chmod(path_.c_str(), 0755);
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return !how_.empty(); }

 private:
  std::filesystem::path path_;
  int fd_ = -1;
  int flags_ = -1;
  std::string how_;
};

TEST(FileSaveDurabilityTest, RefusedTemporaryFileIsAFailedReplaceOnlyWhenOverwritingAnEntry) {
  const std::string body = MultipartBody().File("f", "a.bin", "new contents").Build();
  const struct {
    const char* label;
    ConflictPolicy policy;
    bool has_old;
    std::int32_t code;
    ErrorCodeWidth width;
  } kCases[] = {
      {"overwrite, entry present", ConflictPolicy::kOverwrite, true, 70, ErrorCodeWidth::kInt32},
      {"overwrite, no entry", ConflictPolicy::kOverwrite, false, 70, ErrorCodeWidth::kInt16},
      {"makeunique, entry present", ConflictPolicy::kMakeUnique, true, 70, ErrorCodeWidth::kInt16},
      {"error, no entry", ConflictPolicy::kError, false, 70, ErrorCodeWidth::kInt16},
      {"error, entry present", ConflictPolicy::kError, true, 106, ErrorCodeWidth::kInt16},
  };
  for (const bool named : {false, true}) {
    ForceNamedTempFilesForTesting(named);
    for (const auto& c : kCases) {
      SCOPED_TRACE(::testing::Message() << c.label << (named ? ", named" : ", unnamed"));
      ScopedTempDir dir;
      if (c.has_old) testing::WriteFile(dir.path() / "a.bin", "old contents");
      OperationResult result;
      {
        RefusingDirectory refusing(dir.path());
        if (!refusing.ok()) {
          ForceNamedTempFilesForTesting(false);
          GTEST_SKIP() << "cannot make a directory refuse new files here (no immutable attribute on this "
                          "file system, and running as root)";
        }
        result = FileSave(testing::AsBytes(body), "f", dir.Path(), c.policy);
        // The streaming form reports the same, with the policy given
        // before the body and at the end.
        for (const bool up_front : {false, true}) {
          FormStreamOptions options;
          options.directory = dir.Path();
          options.file_fields = {"f"};
          if (up_front) options.policy = c.policy;
          FormStream stream(std::move(options));
          stream.Feed(testing::AsBytes(body));
          const OperationResult streamed = stream.Finish(c.policy).files.at(0).result;
          EXPECT_EQ(streamed.code, c.code) << (up_front ? "up front" : "at finish");
          EXPECT_EQ(streamed.width, c.width) << (up_front ? "up front" : "at finish");
        }
      }
      EXPECT_EQ(result.code, c.code);
      EXPECT_EQ(result.width, c.width);
      if (c.code == 70) {
        EXPECT_EQ(result.text, "Permission denied");
      }
      EXPECT_EQ(dir.Entries(), c.has_old ? std::set<std::string>{"a.bin"} : std::set<std::string>{});
      if (c.has_old) {
        EXPECT_EQ(ReadFile(dir.path() / "a.bin"), "old contents");
      }
    }
  }
  ForceNamedTempFilesForTesting(false);
}

}  // namespace
}  // namespace zimrax
