#include "core/platform_error.h"

#include <cerrno>

namespace zimrax {

RuntimeError PlatformErrorFromErrno(int error_number, PathRole role) {
  switch (error_number) {
    case ENOENT: return role == PathRole::kFile ? RuntimeError::kFileNotFound : RuntimeError::kPathNotFound;
    case ENOTDIR: return RuntimeError::kPathNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return RuntimeError::kDiskFull;
    case EMFILE:
    case ENFILE: return RuntimeError::kTooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS: return RuntimeError::kPermissionDenied;
    case EIO: return RuntimeError::kDeviceIoError;
    default: return RuntimeError::kPathFileAccessError;  // EISDIR, ENAMETOOLONG, EINVAL, ...
  }
}

}  // namespace zimrax
