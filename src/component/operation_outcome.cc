#include "component/operation_outcome.h"

#include <utility>

#include "zimrax/automation_error.h"

namespace zimrax {

Variant Deliver(OperationOutcome&& outcome, Variant& ErrorCode) {
  if (outcome.fault != RuntimeError::kNone) throw AutomationError(outcome.fault);
  if (outcome.code_is_int32) {
    ErrorCode = Variant(outcome.code);
  } else {
    ErrorCode = Variant(static_cast<std::int16_t>(outcome.code));
  }
  return Variant(std::move(outcome.text));
}

}  // namespace zimrax
