#include "component/operation_outcome.h"

#include "zimrax/automation_error.h"

namespace zimrax {

Variant Deliver(const OperationOutcome& outcome, Variant& ErrorCode) {
  if (outcome.fault != RuntimeError::kNone) throw AutomationError(outcome.fault);
  if (outcome.code_is_int32) {
    ErrorCode = Variant(outcome.code);
  } else {
    ErrorCode = Variant(static_cast<std::int16_t>(outcome.code));
  }
  return Variant(outcome.text);
}

}  // namespace zimrax
