#include "zimrax/automation/automation_error.h"

namespace zimrax {

AutomationError::AutomationError(RuntimeError error)
    : AutomationError(static_cast<std::int32_t>(error), std::string(RuntimeErrorDescription(error))) {}

AutomationError::AutomationError(std::int32_t number, const std::string& description)
    : std::runtime_error(description), number_(number) {}

}  // namespace zimrax
