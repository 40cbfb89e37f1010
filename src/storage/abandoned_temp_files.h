// Clearing away what writers that were killed left behind.
//
// An unnamed temporary file vanishes with its writer. A hidden one remains:
// a complete file killed between getting its hidden name and its rename
// under "overwrite", or any temporary file where the file system lacks
// O_TMPFILE. Live writers hold a lock on theirs, so only abandoned ones are
// removed, also while other processes are saving into the directory.
#ifndef ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_
#define ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_

#include <cstddef>
#include <string>

namespace zimrax {

struct AbandonedTempFiles {
  std::size_t removed = 0;  // hidden temporary files removed
  int error_number = 0;     // the errno when the directory could not be read
};

// Removes every regular file in `directory` named like a temporary file
// (".zmfile-" and 16 of [a-z0-9], see IsTempFileName) whose lock can be
// taken, that is, whose writer is gone. Never touches any other entry.
AbandonedTempFiles RemoveAbandonedTempFiles(const std::string& directory);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_ABANDONED_TEMP_FILES_H_
