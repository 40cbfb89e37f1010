// Publishing a file that is already complete on disk (a resumable upload's
// staged data) under its destination name, with the same race handling as
// AtomicFileWriter::Publish: the staged file is linked or renamed into place
// in one step, so the name never shows a partial file.
#ifndef ZIMRAX_STORAGE_STAGED_FILE_PUBLISHER_H_
#define ZIMRAX_STORAGE_STAGED_FILE_PUBLISHER_H_

#include <string>

#include "storage/destination_path.h"
#include "storage/store_report.h"
#include "zimrax/conflict_policy.h"

namespace zimrax {

// Gives the file at `staged_path` the name of `destination`: "error" links
// it unless the name is taken (kTaken), "makeunique" moves on to the next
// free numbered name (kNoNameLeft past the last), "overwrite" renames it
// over whatever is there. A linked staged file loses its old name. With
// `durable`, the data is synced before the file gets its name and the
// directory after. The staged file must be on the destination's file
// system (EXDEV otherwise). On failure the staged file stays where it was.
StoreReport PublishStagedFile(const std::string& staged_path, const Destination& destination, ConflictPolicy policy,
                              bool durable);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_STAGED_FILE_PUBLISHER_H_
