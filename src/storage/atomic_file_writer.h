// Storing an upload as a new file that appears under its name only when
// complete: the bytes go into an unnamed temporary file in the destination's
// directory, which is then linked or renamed into place in one step.
#ifndef ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_
#define ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_

#include <string>

#include "base/position.h"
#include "storage/byte_source.h"
#include "storage/destination_path.h"
#include "storage/store_report.h"
#include "storage/temp_file.h"
#include "zimrax/conflict_policy.h"

namespace zimrax {

// What is refused before any byte is written: a name taken under "error"
// (kTaken), a directory text holding a NUL (EINVAL) and a name no directory
// entry can hold (ENAMETOOLONG). Reports kStored when the save may go on.
StoreReport CheckDestination(const Destination& destination, ConflictPolicy policy);

// One file on its way to its name: Open, any number of Append, then
// Publish. A writer destroyed before Publish succeeds leaves nothing behind.
// Every call reports kStored while all is well so far.
class AtomicFileWriter {
 public:
  // Creates the temporary file in `directory`.
  StoreReport Open(const std::string& directory);

  // Writes `first`, then `second`, at the end of the file. REQUIRES: Open
  // reported kStored.
  StoreReport Append(ByteView first, ByteView second = {});

  // Publishes the file at `destination`, whose directory is the one opened:
  // "error" refuses a name taken meanwhile (kTaken), "makeunique" moves on to
  // the next free numbered name (kNoNameLeft past the last), "overwrite"
  // replaces atomically. REQUIRES: Open reported kStored.
  StoreReport Publish(const Destination& destination, ConflictPolicy policy);

  // Drops the temporary file.
  void Discard() { file_.Discard(); }

 private:
  TempFile file_;
};

// CheckDestination, then every piece of `data` through an AtomicFileWriter.
// A fault of `data` ends with kSourceFault and nothing stored.
StoreReport WriteBytesToFile(ByteSource& data, const Destination& destination, ConflictPolicy policy);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_
