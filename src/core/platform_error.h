// Maps an errno value from a file-system call to the runtime error number
// that the component reports for it.
#ifndef ZIMRAX_CORE_PLATFORM_ERROR_H_
#define ZIMRAX_CORE_PLATFORM_ERROR_H_

#include "storage/store_report.h"
#include "zimrax/runtime_error.h"

namespace zimrax {

RuntimeError PlatformErrorFromErrno(int error_number, PathRole role);

}  // namespace zimrax

#endif  // ZIMRAX_CORE_PLATFORM_ERROR_H_
