// The no-throw core of ZmFileSave, with the one hook the automation layer
// needs: a destination directory whose conversion has already faulted.
#ifndef ZIMRAX_CORE_FILE_SAVE_H_
#define ZIMRAX_CORE_FILE_SAVE_H_

#include <string_view>

#include "base/position.h"
#include "zimrax/form_data.h"

namespace zimrax {

// The destination directory's text, or the fault its conversion raised;
// the fault surfaces only when the save reaches the point of using it.
struct DirectoryArgument {
  std::string_view text;
  RuntimeError fault = RuntimeError::kNone;
};

// FileSave (zimrax/form_data.h) with a directory that may carry a fault.
OperationResult FileSaveTo(ByteView body, std::string_view field_name, DirectoryArgument directory,
                           ConflictPolicy policy, const SaveOptions& options = {});

}  // namespace zimrax

#endif  // ZIMRAX_CORE_FILE_SAVE_H_
