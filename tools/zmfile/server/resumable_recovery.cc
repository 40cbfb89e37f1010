#include "server/resumable_recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <filesystem>
#include <optional>

#include "server/resumable_handler.h"

namespace zimrax::zmfile {
namespace {

bool IsMarked(const struct stat& status, const PublishingMark& mark) {
  return static_cast<std::uint64_t>(status.st_dev) == mark.device &&
         static_cast<std::uint64_t>(status.st_ino) == mark.inode;
}

// The visible name in `dir` of the marked file, if it has one. Published
// names are never hidden, so the staging folder is not looked into.
std::optional<std::string> FindPublishedName(const std::string& dir, const PublishingMark& mark) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename();
    if (name.starts_with('.')) continue;
    struct stat status;
    if (::lstat(entry.path().c_str(), &status) == 0 && S_ISREG(status.st_mode) && IsMarked(status, mark)) {
      return name;
    }
  }
  return std::nullopt;
}

// Whether a live request still holds the upload's lock on the published
// file (it locked the data under its staged name: the lock is the inode's).
bool IsStillLocked(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  const bool locked = ::fcntl(fd, F_OFD_SETLK, &lock) != 0 && (errno == EAGAIN || errno == EACCES);
  ::close(fd);
  return locked;
}

RecoveryStatus RecordStored(const StagingStore& store, UploadRecord* record, std::string stored_name) {
  record->complete = true;
  record->code = 0;
  record->stored_name = std::move(stored_name);
  record->expires = std::max(record->expires, NowSeconds() + record->keep);
  if (store.SaveOutcome(*record) != 0) return RecoveryStatus::kInProgress;  // asked again later
  store.ClearPublishingMark(record->id);
  return RecoveryStatus::kRecovered;
}

}  // namespace

RecoveryStatus FinishInterruptedPublish(const StagingStore& store, const std::string& dir, UploadRecord* record) {
  const std::optional<PublishingMark> mark = store.LoadPublishingMark(record->id);
  if (!mark) return RecoveryStatus::kNothingPending;
  LockedUpload staged;
  const LockStatus status = store.Lock(record->id, &staged);
  if (status == LockStatus::kBusy || status == LockStatus::kFailed) return RecoveryStatus::kInProgress;
  if (record->complete) {
    // The outcome was recorded; a refused publish's data may be left.
    if (status == LockStatus::kLocked && record->code != 0) ::unlink(store.DataPath(record->id).c_str());
    store.ClearPublishingMark(record->id);
    return RecoveryStatus::kNothingPending;
  }
  if (status == LockStatus::kLocked) {
    struct stat data;
    if (::fstat(staged.fd(), &data) != 0) return RecoveryStatus::kInProgress;
    // Linked into place, the staged name not yet dropped.
    if (IsMarked(data, *mark) && data.st_nlink > 1) {
      if (std::optional<std::string> name = FindPublishedName(dir, *mark)) {
        ::unlink(store.DataPath(record->id).c_str());
        return RecordStored(store, record, std::move(*name));
      }
    }
    // The data never got a name: the next PATCH at its length publishes it.
    store.ClearPublishingMark(record->id);
    return RecoveryStatus::kNothingPending;
  }
  // The staged name is gone, so the data got its name (a refused publish
  // records its outcome before dropping the data).
  std::optional<std::string> name = FindPublishedName(dir, *mark);
  if (name && IsStillLocked(dir + "/" + *name)) return RecoveryStatus::kInProgress;
  // Without a name found, the file was published and since moved or replaced.
  return RecordStored(store, record, name.value_or(""));
}

}  // namespace zimrax::zmfile
