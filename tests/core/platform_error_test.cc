#include "core/platform_error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace zimrax {
namespace {

TEST(PlatformErrorTest, MapsErrnoToRuntimeErrors) {
  const struct {
    int error_number;
    PathRole role;
    RuntimeError expected;
  } kCases[] = {
      {ENOENT, PathRole::kFile, RuntimeError::kFileNotFound},
      {ENOENT, PathRole::kDirectory, RuntimeError::kPathNotFound},
      {ENOTDIR, PathRole::kFile, RuntimeError::kPathNotFound},
      {ENOSPC, PathRole::kFile, RuntimeError::kDiskFull},
      {EDQUOT, PathRole::kFile, RuntimeError::kDiskFull},
      {EFBIG, PathRole::kFile, RuntimeError::kDiskFull},
      {EMFILE, PathRole::kFile, RuntimeError::kTooManyFiles},
      {ENFILE, PathRole::kFile, RuntimeError::kTooManyFiles},
      {EACCES, PathRole::kFile, RuntimeError::kPermissionDenied},
      {EPERM, PathRole::kFile, RuntimeError::kPermissionDenied},
      {EROFS, PathRole::kFile, RuntimeError::kPermissionDenied},
      {EIO, PathRole::kFile, RuntimeError::kDeviceIoError},
      {EISDIR, PathRole::kFile, RuntimeError::kPathFileAccessError},
      {ENAMETOOLONG, PathRole::kFile, RuntimeError::kPathFileAccessError},
      {EINVAL, PathRole::kFile, RuntimeError::kPathFileAccessError},
      {EXDEV, PathRole::kFile, RuntimeError::kPathFileAccessError},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(PlatformErrorFromErrno(c.error_number, c.role), c.expected) << c.error_number;
  }
  EXPECT_EQ(RuntimeErrorDescription(RuntimeError::kDiskFull), "Disk full");
  EXPECT_EQ(RuntimeErrorDescription(RuntimeError::kPathFileAccessError), "Path/File access error");
}

}  // namespace
}  // namespace zimrax
