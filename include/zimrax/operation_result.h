// How one operation ended: the ErrorCode and its width, the result bytes,
// or a fault. This is what the typed API returns; the automation layer
// turns it into an ErrorCode variant, a returned string or a thrown error.
#ifndef ZIMRAX_OPERATION_RESULT_H_
#define ZIMRAX_OPERATION_RESULT_H_

#include <cstdint>
#include <string>

#include "zimrax/result_code.h"
#include "zimrax/runtime_error.h"

namespace zimrax {

// The integer type ErrorCode is written as.
enum class ErrorCodeWidth : std::uint8_t { kInt16, kInt32 };

struct OperationResult {
  // 0 on success; 101-106 (result_code.h); or a platform error number
  // (runtime_error.h, 53-76) for a file-system failure of a save.
  std::int32_t code = 0;
  // Int16, except the failed replace of an existing file under "overwrite".
  ErrorCodeWidth width = ErrorCodeWidth::kInt16;
  // The result bytes, one character per byte: the stored name or the
  // field's value on success, otherwise the message of `code`.
  std::string text;
  // A fault ends the call without a code (kOverflow, kSubscriptOutOfRange);
  // `code` and `text` are then 0 and "".
  RuntimeError fault = RuntimeError::kNone;
  // The errno behind a platform error number (several map to 75); 0 otherwise.
  int platform_errno = 0;
  // A save that succeeded: the name the file is stored under (also `text`).
  std::string stored_name;
  // A save under "overwrite" that replaced an existing entry.
  bool replaced = false;

  bool ok() const { return fault == RuntimeError::kNone && code == 0; }
  bool faulted() const { return fault != RuntimeError::kNone; }
};

}  // namespace zimrax

#endif  // ZIMRAX_OPERATION_RESULT_H_
