// The staging folder's locks and what is read under them: a PATCH's
// write lock on an upload's data, the folder's reservation lock, and the
// data's end as HEAD may tell it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "server/staging_store.h"

namespace zimrax::zmfile {
namespace {

// The end of the data in `fd`. Another host's writes may not show in this
// one's cached size for about a second; SEEK_HOLE from 0 is answered by the
// storage, and a data file, only ever written at its end and cut back, has
// no hole before its end. Where SEEK_HOLE is unknown, the size.
std::int64_t EndOfData(int fd) {
  const off_t end = ::lseek(fd, 0, SEEK_HOLE);
  if (end >= 0) return end;
  struct stat status;
  return ::fstat(fd, &status) == 0 ? status.st_size : -1;
}

// Where a lock may start at most: past any size a file here can reach, and
// clear of off_t's end.
constexpr std::uint64_t kLastLockStart = std::uint64_t{1} << 62;

bool TakeWriteLock(int fd, int command = F_OFD_SETLK, std::uint64_t from = 0) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(std::min(from, kLastLockStart));
  return ::fcntl(fd, command, &lock) == 0;
}

constexpr std::string_view kReservationLockName = "reservations.lock";

}  // namespace

StagingReservation::StagingReservation(const std::string& folder) {
  const std::string path = folder + "/" + std::string(kReservationLockName);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) {
    error_ = errno;
    return;
  }
  while (!TakeWriteLock(fd_, F_OFD_SETLKW)) {
    if (errno != EINTR) {
      error_ = errno;
      return;
    }
  }
}

StagingReservation::~StagingReservation() {
  if (fd_ >= 0) ::close(fd_);  // and with it the lock
}

LockedUpload::~LockedUpload() {
  if (fd_ < 0) return;
  // Unlocked before the close: on a FUSE file system the close lets go of
  // the lock only later, when the file system handles the release, and a
  // client told "done" may already be asking another host for the upload.
  struct flock unlock = {};
  unlock.l_type = F_UNLCK;
  unlock.l_whence = SEEK_SET;
  ::fcntl(fd_, F_OFD_SETLK, &unlock);
  ::close(fd_);
}

std::int64_t LockedUpload::Size() const { return EndOfData(fd_); }

LockStatus StagingStore::Lock(std::string_view id, LockedUpload* locked, std::uint64_t from) const {
  // Written at offsets, never O_APPEND: where a host's cached size lags,
  // its kernel would take that stale size for the end.
  const int fd = ::open(DataPath(id).c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LockStatus::kMissing : LockStatus::kFailed;
  if (!TakeWriteLock(fd, F_OFD_SETLK, from)) {
    const int error = errno;
    ::close(fd);
    return error == EAGAIN || error == EACCES ? LockStatus::kBusy : LockStatus::kFailed;
  }
  *locked = LockedUpload(fd);
  return LockStatus::kLocked;
}

std::uint64_t StagingStore::DataSize(std::string_view id) const {
  const int fd = ::open(DataPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const std::int64_t end = EndOfData(fd);
  ::close(fd);
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

std::optional<std::uint64_t> StagingStore::LockedFrom(std::string_view id) const {
  const int fd = ::open(DataPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  if (!held) return std::nullopt;
  return static_cast<std::uint64_t>(probe.l_start);
}

std::optional<std::uint64_t> StagingStore::AcknowledgedEnd(std::string_view id, bool sync) const {
  // No lock is taken, so a PATCH arriving meanwhile finds the data free.
  // A PATCH that holds its lock, before the end is read or after, may have
  // written past its start: the least of the three is acknowledged.
  const std::optional<std::uint64_t> before = LockedFrom(id);
  const int fd = ::open(DataPath(id).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const std::int64_t end = !sync || ::fsync(fd) == 0 ? EndOfData(fd) : -1;
  const int error = errno;
  ::close(fd);
  if (end < 0) {
    errno = error;
    return std::nullopt;
  }
  const std::optional<std::uint64_t> after = LockedFrom(id);
  std::uint64_t offset = static_cast<std::uint64_t>(end);
  for (const std::optional<std::uint64_t>& from : {before, after}) {
    if (from) offset = std::min(offset, *from);
  }
  return offset;
}

}  // namespace zimrax::zmfile
