// The no-throw core of ZmFileSave.
#ifndef ZIMRAX_COMPONENT_FILE_SAVE_H_
#define ZIMRAX_COMPONENT_FILE_SAVE_H_

#include <string_view>

#include "component/operation_outcome.h"
#include "scanner/checked.h"
#include "storage/conflict_policy.h"

namespace zimrax {

// The destination directory's text, or the fault its conversion raised;
// the fault surfaces only when the save reaches the point of using it.
struct DirectoryArgument {
  std::string_view text;
  RuntimeError fault = RuntimeError::kNone;
};

// Stores the file of the file-upload field `wanted_name` in `directory`
// and returns the stored name. Codes: 101-106 and platform error numbers;
// faults: 9, 6 and the directory argument's own.
OperationOutcome FileSave(ByteView body, ByteView wanted_name, DirectoryArgument directory, ConflictPolicy policy,
                          ByteView crlf);

}  // namespace zimrax

#endif  // ZIMRAX_COMPONENT_FILE_SAVE_H_
