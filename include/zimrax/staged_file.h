// Publishing a file that was written completely elsewhere first, such as
// the data of a resumable upload that arrived in pieces, under the client's
// file name and a name-conflict policy: the same name rules, result codes,
// race handling and durability as FileSave (zimrax/form_data.h).
#ifndef ZIMRAX_STAGED_FILE_H_
#define ZIMRAX_STAGED_FILE_H_

#include <string_view>

#include "zimrax/conflict_policy.h"
#include "zimrax/export.h"
#include "zimrax/operation_result.h"
#include "zimrax/save_options.h"

namespace zimrax {

// Gives the file at `staged_path` the name `client_file_name` (its last "\"
// or "/" piece) in `directory`, and returns the stored name. The staged file
// must be on the directory's file system; it is linked or renamed into
// place in one step, so the name never shows a partial file, and loses its
// staged name on success. On failure it stays where it was. Codes: 104 (a
// name that is empty, "." or ".."), 106 (taken under "error", also when
// taken meanwhile), platform error numbers; fault: kOverflow (every
// "makeunique" number taken).
ZIMRAX_EXPORT OperationResult PublishStagedFile(std::string_view staged_path, std::string_view client_file_name,
                                                std::string_view directory, ConflictPolicy policy,
                                                const SaveOptions& options = {});

}  // namespace zimrax

#endif  // ZIMRAX_STAGED_FILE_H_
