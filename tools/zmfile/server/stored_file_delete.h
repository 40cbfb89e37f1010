// Deleting a stored file by name: only a visible regular file directly in
// the upload directory, and by one unlink of its name, so that two deletes
// of one name cannot both succeed and a download that has the file open
// still reads it to the end.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STORED_FILE_DELETE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STORED_FILE_DELETE_H_

#include <string>

namespace zimrax::zmfile {

enum class DeleteOutcome {
  kDeleted,  // the name is gone
  kAbsent,   // no such stored file: missing, hidden, not plain, or not a regular file
  kFailed,   // it is there, but the file system refused (error_number says why)
};

struct DeleteResult {
  DeleteOutcome outcome = DeleteOutcome::kAbsent;
  int error_number = 0;  // for kFailed
};

// Removes `name` from `dir` when it is a plain name (see IsPlainFileName)
// that does not start with "." (the component's temporary files, and any
// other hidden file) and names a regular file, not a symbolic link. With
// `durable` the directory is synced afterwards, so that the removal
// survives a crash once answered.
DeleteResult DeleteStoredFile(const std::string& dir, const std::string& name, bool durable);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STORED_FILE_DELETE_H_
