#include "zimrax/runtime_error.h"

namespace zimrax {

std::string_view RuntimeErrorDescription(RuntimeError error) {
  switch (error) {
    case RuntimeError::kNone: return "";
    case RuntimeError::kOverflow: return "Overflow";
    case RuntimeError::kSubscriptOutOfRange: return "Subscript out of range";
    case RuntimeError::kTypeMismatch: return "Type mismatch";
    case RuntimeError::kFileNotFound: return "File not found";
    case RuntimeError::kDeviceIoError: return "Device I/O error";
    case RuntimeError::kDiskFull: return "Disk full";
    case RuntimeError::kTooManyFiles: return "Too many files";
    case RuntimeError::kPermissionDenied: return "Permission denied";
    case RuntimeError::kPathFileAccessError: return "Path/File access error";
    case RuntimeError::kPathNotFound: return "Path not found";
    case RuntimeError::kInvalidUseOfNull: return "Invalid use of Null";
    case RuntimeError::kCannotCreateObject: return "ActiveX component can't create object";
    case RuntimeError::kObjectDoesNotSupportMethod: return "Object doesn't support this property or method";
    case RuntimeError::kArgumentNotOptional: return "Argument not optional";
    case RuntimeError::kWrongNumberOfArguments: return "Wrong number of arguments or invalid property assignment";
  }
  return "Application-defined or object-defined error";
}

}  // namespace zimrax
