// The periodic removal of expired resumable uploads, so that an upload
// nobody asks about again does not hold its staged bytes until a request
// touches it. It runs on its own thread, never on the I/O threads, and each
// round does bounded work: records whose file time says they may have
// expired are read, at most kMaxReadsPerRound of them, and at most
// kMaxRemovalsPerRound uploads are removed; the rest wait for the next round.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_SWEEPER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_SWEEPER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "server/staging_store.h"

namespace zimrax::zmfile {

inline constexpr int kMaxReadsPerRound = 256;
inline constexpr int kMaxRemovalsPerRound = 64;

// How long past its expiry an upload is left to the request that touches
// it (and learns 410): its expiry, from a second to five minutes.
std::int64_t ExpiredGrace(std::int64_t expiry);

// Removes from `store` up to kMaxRemovalsPerRound uploads expired for
// longer than ExpiredGrace(expiry) that no request holds (`now`: seconds since the epoch; `expiry`: how long a
// record lives after it was last written). Returns how many it removed.
int SweepExpiredUploads(const StagingStore& store, std::int64_t now, std::int64_t expiry);

class StagingSweeper {
 public:
  // Sweeps the staging folder of `dir` every half `expiry` seconds (at
  // least every second, at most every minute) until destroyed.
  StagingSweeper(const std::string& dir, std::int64_t expiry);
  ~StagingSweeper();
  StagingSweeper(const StagingSweeper&) = delete;
  StagingSweeper& operator=(const StagingSweeper&) = delete;

 private:
  void Loop();

  const StagingStore store_;
  const std::int64_t expiry_;
  const std::chrono::seconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_SWEEPER_H_
