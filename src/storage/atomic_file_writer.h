// Storing an upload as a new file that appears under its name only when
// complete: the bytes go into an unnamed temporary file in the destination's
// directory, which is then linked or renamed into place in one step.
#ifndef ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_
#define ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_

#include <memory>
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
  // Creates the temporary file in `directory`. With `durable`, Publish
  // syncs the data before the file gets its name and the directory after.
  StoreReport Open(const std::string& directory, bool durable = false);
  // The same through `shared`, the descriptor of `directory` that every
  // writer of one stream holds instead of one each.
  StoreReport Open(std::shared_ptr<SharedDirectory> shared, const std::string& directory, bool durable = false);

  // Open in the directory of `destination`. A refusal to create the file
  // (EACCES, EPERM, EROFS) under "overwrite" while an entry exists at the
  // destination is reported as a failed replace (`replacing`): the old file
  // could not be replaced.
  StoreReport Open(const Destination& destination, ConflictPolicy policy, bool durable = false);

  // Writes `first`, then `second`, at the end of the file. REQUIRES: Open
  // reported kStored.
  StoreReport Append(ByteView first, ByteView second = {});

  // Publishes the file at `destination`, whose directory is the one opened:
  // "error" refuses a name taken meanwhile (kTaken), "makeunique" moves on to
  // the next free numbered name (kNoNameLeft past the last), "overwrite"
  // replaces atomically. Before the file gets its name, an error that
  // close() reports for it (EIO) ends the save with nothing published; when
  // durable, the data is synced before and the directory after. A failed
  // sync of the directory is reported although the name is then in place.
  // REQUIRES: Open reported kStored.
  StoreReport Publish(const Destination& destination, ConflictPolicy policy);

  // Drops the temporary file.
  void Discard() { file_.Discard(); }

 private:
  // Publish after the close check: the link or rename itself.
  StoreReport PublishChecked(const Destination& destination, ConflictPolicy policy);

  TempFile file_;
  bool durable_ = false;
};

// CheckDestination, then every piece of `data` through an AtomicFileWriter.
// A fault of `data` ends with kSourceFault and nothing stored.
StoreReport WriteBytesToFile(ByteSource& data, const Destination& destination, ConflictPolicy policy,
                             bool durable = false);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_ATOMIC_FILE_WRITER_H_
