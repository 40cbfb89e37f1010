// What storing a file came to, as storage sees it: stored, the name taken,
// a failed file-system call with its errno, or no numbered name left. The
// core turns a report into a result code and message.
#ifndef ZIMRAX_STORAGE_STORE_REPORT_H_
#define ZIMRAX_STORAGE_STORE_REPORT_H_

#include <string>

#include "zimrax/runtime_error.h"

namespace zimrax {

// What a failed call was working on: ENOENT means "File not found" for the
// file itself and "Path not found" for the directory that should hold it.
enum class PathRole { kFile, kDirectory };

enum class StoreStatus {
  kStored,      // published under entry_name
  kTaken,       // the name is taken and the policy does not replace
  kFailed,      // a file-system call failed: error_number, role
  kNoNameLeft,  // "makeunique" ran past its last number
  kSourceFault, // the bytes to store could not be produced: source_fault
};

struct StoreReport {
  StoreStatus status = StoreStatus::kStored;
  int error_number = 0;                           // kFailed: the errno
  PathRole role = PathRole::kFile;                // kFailed: what the call worked on
  bool replacing = false;                         // kFailed: replacing an existing entry failed
  RuntimeError source_fault = RuntimeError::kNone;// kSourceFault
  std::string entry_name;                         // kStored: the name published under
  bool replaced = false;                          // kStored: an existing entry was replaced

  bool ok() const { return status == StoreStatus::kStored; }
  static StoreReport Failed(int error_number, PathRole role, bool replacing = false) {
    StoreReport report;
    report.status = StoreStatus::kFailed;
    report.error_number = error_number;
    report.role = role;
    report.replacing = replacing;
    return report;
  }
  static StoreReport WithStatus(StoreStatus status) {
    StoreReport report;
    report.status = status;
    return report;
  }
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_STORE_REPORT_H_
