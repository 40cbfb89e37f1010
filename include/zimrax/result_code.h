// The component's own result codes and their fixed messages. ErrorCode is 0
// on success, one of these, or a platform error number (runtime_error.h).
#ifndef ZIMRAX_RESULT_CODE_H_
#define ZIMRAX_RESULT_CODE_H_

#include <cstdint>
#include <string_view>

#include "zimrax/export.h"

namespace zimrax {

enum class ResultCode : std::int16_t {
  kOk = 0,
  kFieldNameNotFound = 101,      // "Error: Form Field Name not found."
  kDispositionNotFound = 102,    // "Error: Can not locate 'Content-Disposition' text."
  kFilenameNotFound = 103,       // "Error: Can not locate filename in form field."
  kBadFormFilename = 104,        // "Error: Bad Form Filename."
  kDataNotFound = 105,           // two messages, one per operation
  kFileAlreadyExists = 106,      // "Error: File Already Exists."
};

// The operation whose message is wanted; only code 105 differs between them.
enum class Operation { kFileSave, kFormFieldValue };

// Returns the fixed message of `code` for `operation`; "" for kOk.
ZIMRAX_EXPORT std::string_view ResultMessage(ResultCode code, Operation operation);

}  // namespace zimrax

#endif  // ZIMRAX_RESULT_CODE_H_
