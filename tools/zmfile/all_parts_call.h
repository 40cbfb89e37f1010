// Runs `value --all` or `save --all`: walks every part of a body read in
// pieces through zimrax::PartStream, reading each part's value, or storing
// each part that carries a file name, and prints one line per part.
#ifndef ZIMRAX_TOOLS_ZMFILE_ALL_PARTS_CALL_H_
#define ZIMRAX_TOOLS_ZMFILE_ALL_PARTS_CALL_H_

#include <cstddef>
#include <optional>
#include <string>

namespace zimrax::zmfile {

struct AllPartsRequest {
  bool save = false;                    // store the file parts, or read every part's value
  std::string directory;                // save only
  std::optional<std::string> conflict;  // save only; left out: "error"
  bool durable = false;                 // save only
  std::size_t max_value_bytes = 0;      // value only: a longer value is reported as over the limit
  std::size_t max_parts = 0;
};

// Prints, per part in body order, "NAME<TAB>RESULT" (the value, or the
// stored name; a failure as "error N: MESSAGE"), or with `json` one JSON
// object per line: index, name, file name, Content-Type, status and the
// outcome as `value`/`save --json` print it. Returns 0 when every part
// handled succeeded, 1 when one ended with an ErrorCode or over a limit, 3
// on a fault, 2 for a body that cannot be read or a first line over the limit.
int RunAllParts(const std::string& body_path, const AllPartsRequest& request, bool json);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_ALL_PARTS_CALL_H_
