// Prints the outcome of one operation in the command-line contract and
// returns the exit status: 0 success, 1 non-zero ErrorCode, 3 fault.
#ifndef ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_
#define ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_

#include <optional>
#include <string>
#include <string_view>

#include "exit_status.h"
#include "zimrax/operation_result.h"

namespace zimrax::zmfile {

// How the call ended, as the typed API returns it. A fault is told as the
// automation object leaves it: ErrorCode 0 (16-bit) and no result.
struct CallOutcome {
  OperationResult result;
};

// Default form: the result bytes exactly on stdout, or "zmfile: error N:
// MESSAGE" / "zmfile: fault N: DESCRIPTION" on stderr, followed, when
// `context` is not empty, by "zmfile: CONTEXT". JSON form: one line.
int PrintOutcome(const CallOutcome& outcome, bool json, std::string_view context = {});

// The one-line JSON object of `outcome`.
std::string OutcomeJson(const CallOutcome& outcome);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RESULT_PRINTER_H_
