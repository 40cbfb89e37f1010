// Prints the outcome of one operation in the command-line contract and
// returns the exit status: 0 success, 1 non-zero ErrorCode, 3 fault.
#ifndef ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_
#define ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_

#include <optional>
#include <string>
#include <string_view>

#include "exit_status.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/variant.h"

namespace zimrax::zmfile {

struct CallOutcome {
  Variant error_code;                    // as the operation left it
  Variant result;                        // Empty after a fault
  std::optional<AutomationError> fault;  // set when the call faulted
};

// Default form: the result bytes exactly on stdout, or "zmfile: error N:
// MESSAGE" / "zmfile: fault N: DESCRIPTION" on stderr, followed, when
// `context` is not empty, by "zmfile: CONTEXT". JSON form: one line.
int PrintOutcome(const CallOutcome& outcome, bool json, std::string_view context = {});

// The one-line JSON object of `outcome`.
std::string OutcomeJson(const CallOutcome& outcome);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_
