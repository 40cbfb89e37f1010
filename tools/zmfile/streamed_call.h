// Runs save or value over a body read in pieces (a file, standard input, a
// pipe): the body goes through zimrax::FormStream as it is read, so memory
// stays bounded whatever its size, and the outcome is printed in the same
// contract as the automation object's call over the whole body.
#ifndef ZIMRAX_TOOLS_ZMFILE_STREAMED_CALL_H_
#define ZIMRAX_TOOLS_ZMFILE_STREAMED_CALL_H_

#include <optional>
#include <string>

namespace zimrax::zmfile {

struct StreamedRequest {
  bool save = false;                    // save the field's file, or print its value
  std::string field;
  std::string directory;                // save only
  std::optional<std::string> conflict;  // save only; left out: "error"
  bool durable = false;                 // save only: sync before publishing
};

// Reads `body_path` ("-" for standard input) to its end through a
// FormStream and prints the outcome. Returns the exit status; kExitUsage
// when the body cannot be read or its first line is over the limit.
int RunStreamedCall(const std::string& body_path, const StreamedRequest& request, bool json);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_STREAMED_CALL_H_
