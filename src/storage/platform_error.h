// Maps an errno value from a file-system call to the runtime error number
// and description that the component reports.
#ifndef ZIMRAX_STORAGE_PLATFORM_ERROR_H_
#define ZIMRAX_STORAGE_PLATFORM_ERROR_H_

#include "zimrax/runtime_error.h"

namespace zimrax {

// What the failed call was working on: ENOENT means "File not found" for the
// file itself and "Path not found" for the directory that should hold it.
enum class PathRole { kFile, kDirectory };

RuntimeError PlatformErrorFromErrno(int error_number, PathRole role);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_PLATFORM_ERROR_H_
