// What a public operation's no-throw core hands back to the outer layer:
// the ErrorCode and its width, the return text, or a fault.
#ifndef ZIMRAX_COMPONENT_OPERATION_OUTCOME_H_
#define ZIMRAX_COMPONENT_OPERATION_OUTCOME_H_

#include <cstdint>
#include <string>

#include "zimrax/result_code.h"
#include "zimrax/runtime_error.h"
#include "zimrax/variant.h"

namespace zimrax {

struct OperationOutcome {
  std::int32_t code = 0;
  bool code_is_int32 = false;  // ErrorCode is written as Int32 instead of Int16
  std::string text;            // the result, or the message of a non-zero code
  RuntimeError fault = RuntimeError::kNone;

  static OperationOutcome Success(std::string result) { return {0, false, std::move(result), RuntimeError::kNone}; }
  static OperationOutcome Code(ResultCode code, Operation operation) {
    return {static_cast<std::int32_t>(code), false, std::string(ResultMessage(code, operation)), RuntimeError::kNone};
  }
  static OperationOutcome Fault(RuntimeError error) { return {0, false, {}, error}; }
};

// Applies `outcome` at the automation boundary: throws AutomationError for
// a fault (leaving ErrorCode as it is), otherwise stores the code into
// ErrorCode with its width and returns the text as a String. The text is
// moved, not copied: a value can be as large as the body.
Variant Deliver(OperationOutcome&& outcome, Variant& ErrorCode);

}  // namespace zimrax

#endif  // ZIMRAX_COMPONENT_OPERATION_OUTCOME_H_
