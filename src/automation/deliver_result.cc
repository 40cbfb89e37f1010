#include "automation/deliver_result.h"

#include <utility>

#include "zimrax/automation/automation_error.h"

namespace zimrax {

Variant Deliver(OperationResult&& result, Variant& ErrorCode) {
  if (result.faulted()) throw AutomationError(result.fault);
  if (result.width == ErrorCodeWidth::kInt32) {
    ErrorCode = Variant(result.code);
  } else {
    ErrorCode = Variant(static_cast<std::int16_t>(result.code));
  }
  return Variant(std::move(result.text));
}

}  // namespace zimrax
