// Clearing away the temporary files of saves that were killed part-way.
// Run it once at start-up on each destination directory, before taking
// uploads into it:
//
//   zimrax::AbandonedTempFiles swept = zimrax::RemoveAbandonedTempFiles("/srv/uploads");
//
// An unnamed temporary file vanishes with its writer. A hidden one remains:
// a complete file killed between getting its hidden name and its rename
// under "overwrite", or any temporary file where the file system lacks
// O_TMPFILE. Live writers hold a lock on theirs, so only abandoned ones are
// removed, also while other processes are saving into the directory.
//
// Where the directory is shared between hosts, the lock protects another
// host's writer only if the file system passes locks to its server
// (GlusterFS, NFS with its lock service do; NFS mounted with nolock or
// local_lock, and FUSE file systems that leave locks to the kernel, do not).
// There a minimum age keeps files that were written to recently.
#ifndef ZIMRAX_ABANDONED_TEMP_FILES_H_
#define ZIMRAX_ABANDONED_TEMP_FILES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "zimrax/export.h"

namespace zimrax {

struct AbandonedTempFiles {
  std::size_t removed = 0;      // hidden temporary files removed
  std::size_t kept_recent = 0;  // unlocked ones kept as modified within the minimum age
  int error_number = 0;         // the errno when the directory could not be read
};

// Removes every regular file in `directory` named like a temporary file
// (".zmfile-" and 16 of [a-z0-9]) whose lock can be taken, that is, whose
// writer is gone, and which was last modified at least `min_age_seconds`
// ago. Never touches any other entry.
// REQUIRES: min_age_seconds >= 0. Sets error_number when the directory
// cannot be read.
ZIMRAX_EXPORT AbandonedTempFiles RemoveAbandonedTempFiles(const std::string& directory,
                                                          std::int64_t min_age_seconds = 0);

}  // namespace zimrax

#endif  // ZIMRAX_ABANDONED_TEMP_FILES_H_
