#include "server/staging_sweeper.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace zimrax::zmfile {

std::int64_t ExpiredGrace(std::int64_t expiry) { return std::clamp<std::int64_t>(expiry, 1, 300); }

int SweepExpiredUploads(const StagingStore& store, std::int64_t now, std::int64_t expiry) {
  int reads = 0;
  int removals = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(store.folder(), error)) {
    if (reads >= kMaxReadsPerRound || removals >= kMaxRemovalsPerRound) break;
    const std::string name = entry.path().filename();
    if (!name.ends_with(".json")) continue;
    const std::string id = name.substr(0, name.size() - 5);
    if (!StagingStore::IsUploadId(id)) continue;
    // Every record is written with a new expiry, so one written within the
    // expiry has not expired: its file time spares reading it.
    struct stat status;
    if (::stat(entry.path().c_str(), &status) != 0 || status.st_mtime + expiry + ExpiredGrace(expiry) > now) continue;
    ++reads;
    const std::optional<UploadRecord> record = store.Load(id);
    // A client back just after the expiry still learns 410, not 404.
    if (!record || record->expires + ExpiredGrace(expiry) > now) continue;
    LockedUpload locked;
    const LockStatus lock = store.Lock(id, &locked);
    if (lock != LockStatus::kLocked && lock != LockStatus::kMissing) continue;  // a request is at it
    store.Remove(id);
    ++removals;
  }
  return removals;
}

StagingSweeper::StagingSweeper(const std::string& dir, std::int64_t expiry)
    : store_(dir, /*durable=*/false),
      expiry_(expiry),
      interval_(std::clamp<std::int64_t>(expiry / 2, 1, 60)),
      thread_([this] { Loop(); }) {}

StagingSweeper::~StagingSweeper() {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void StagingSweeper::Loop() {
  std::unique_lock<std::mutex> hold(mutex_);
  while (!wake_.wait_for(hold, interval_, [this] { return stopping_; })) {
    hold.unlock();
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    SweepExpiredUploads(store_, now, expiry_);
    hold.lock();
  }
}

}  // namespace zimrax::zmfile
