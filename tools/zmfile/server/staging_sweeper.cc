#include "server/staging_sweeper.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>

namespace zimrax::zmfile {

std::int64_t ExpiredGrace(std::int64_t expiry) { return std::clamp<std::int64_t>(expiry, 1, 300); }

namespace {

// The latest modification time of the files of upload `id`.
std::int64_t LatestChange(const StagingStore& store, const std::string& id) {
  std::int64_t latest = 0;
  const std::string data = store.DataPath(id);
  const std::string stem = data.substr(0, data.size() - 5);  // without ".data"
  for (const char* suffix : {".json", ".data", ".length", ".done"}) {
    struct stat status;
    if (::stat((stem + suffix).c_str(), &status) == 0) latest = std::max<std::int64_t>(latest, status.st_mtime);
  }
  return latest;
}

}  // namespace

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
    // An upload expires `expiry` after its files last changed (its data,
    // its outcome): their times spare reading the records of the others.
    if (LatestChange(store, id) + expiry + ExpiredGrace(expiry) > now) continue;
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
