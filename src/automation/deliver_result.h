// Applies a core OperationResult at the automation boundary.
#ifndef ZIMRAX_AUTOMATION_DELIVER_RESULT_H_
#define ZIMRAX_AUTOMATION_DELIVER_RESULT_H_

#include "zimrax/automation/variant.h"
#include "zimrax/operation_result.h"

namespace zimrax {

// Throws AutomationError for a fault (leaving ErrorCode as it is); otherwise
// stores the code into ErrorCode with its width and returns the text as a
// String. The text is moved, not copied: a value can be as large as the body.
Variant Deliver(OperationResult&& result, Variant& ErrorCode);

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_DELIVER_RESULT_H_
