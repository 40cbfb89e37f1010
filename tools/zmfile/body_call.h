// Runs one component call on a request body read from a file and prints its
// outcome in the command-line contract.
#ifndef ZIMRAX_TOOLS_ZMFILE_BODY_CALL_H_
#define ZIMRAX_TOOLS_ZMFILE_BODY_CALL_H_

#include <functional>
#include <string>

#include "zimrax/automation/variant.h"
#include "zimrax/automation/zm_file.h"

namespace zimrax::zmfile {

// The call: given a new ZmFile, the body as a byte array and ErrorCode,
// returns the operation's result.
using BodyCall = std::function<Variant(ZmFile& file, Variant& form_data, Variant& error_code)>;

// Opens `body_path` ("-" for standard input), creates a ZmFile by its
// ProgID, runs `call` and prints the outcome. Returns the exit status;
// kExitUsage when the body cannot be read.
int RunBodyCall(const std::string& body_path, bool json, const BodyCall& call);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_BODY_CALL_H_
