// Runtime error numbers and their standard descriptions. One number space
// serves the faults of the automation error channel (6, 9, 13, 94, ...) and
// the file-system failures that the storage layer reports (53 ... 76).
#ifndef ZIMRAX_RUNTIME_ERROR_H_
#define ZIMRAX_RUNTIME_ERROR_H_

#include <cstdint>
#include <string_view>

#include "zimrax/export.h"

namespace zimrax {

enum class RuntimeError : std::int16_t {
  kNone = 0,
  kOverflow = 6,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
  kFileNotFound = 53,
  kDeviceIoError = 57,
  kDiskFull = 61,
  kTooManyFiles = 67,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  kInvalidUseOfNull = 94,
  kCannotCreateObject = 429,
  kObjectDoesNotSupportMethod = 438,
  kArgumentNotOptional = 449,
  kWrongNumberOfArguments = 450,
};

// Returns the standard description of `error`, e.g. "Subscript out of range".
// Returns "Application-defined or object-defined error" for an unknown value.
ZIMRAX_EXPORT std::string_view RuntimeErrorDescription(RuntimeError error);

}  // namespace zimrax

#endif  // ZIMRAX_RUNTIME_ERROR_H_
