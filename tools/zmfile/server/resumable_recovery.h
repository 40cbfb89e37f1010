// Finishing a publish that a crash interrupted. A completing PATCH marks
// which file it publishes (ID.publishing), gives the staged data its name,
// records the outcome, and only then drops the mark; a server killed in
// between leaves the mark, and the next request about the upload finds out
// from it what happened instead of publishing the data a second time.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RECOVERY_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RECOVERY_H_

#include <string>

#include "server/staging_store.h"

namespace zimrax::zmfile {

enum class RecoveryStatus {
  kNothingPending,  // no publish to finish: the record tells the truth
  kInProgress,      // a live request is publishing the upload now
  kRecovered,       // the outcome was found and is now in *record
};

// For the upload of *record, kept in `store` under the upload directory
// `dir`: finishes the record of an interrupted publish. A data file that
// got its name is recorded as stored under that name (code 0); one that
// had not is left to be published by the next PATCH at its length.
RecoveryStatus FinishInterruptedPublish(const StagingStore& store, const std::string& dir, UploadRecord* record);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RECOVERY_H_
