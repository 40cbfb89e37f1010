#include "storage/abandoned_temp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "storage/temp_file.h"

namespace zimrax {
namespace {

enum class Sweep { kKept, kKeptRecent, kRemoved };

// True when the file was last modified at least `min_age_seconds` ago (by
// this host's clock; a writer's clock ahead of it only keeps files longer).
bool OldEnough(const struct stat& file, std::int64_t min_age_seconds) {
  if (min_age_seconds <= 0) return true;
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) - static_cast<std::int64_t>(file.st_mtim.tv_sec) >= min_age_seconds;
}

// Removes `name` if it is a regular file nobody holds locked and old
// enough. The lock is kept until the name is gone, so no writer can take
// the file meanwhile.
Sweep RemoveIfAbandoned(int directory_fd, const char* name, std::int64_t min_age_seconds) {
  // Read-only is enough: a read lock conflicts with a writer's write lock.
  // O_NONBLOCK, so that a FIFO planted under such a name cannot stall us.
  const int fd = ::openat(directory_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Sweep::kKept;
  Sweep outcome = Sweep::kKept;
  struct stat by_fd {};
  struct stat by_name {};
  struct flock whole_file {};
  whole_file.l_type = F_RDLCK;
  whole_file.l_whence = SEEK_SET;
  if (::fstat(fd, &by_fd) == 0 && S_ISREG(by_fd.st_mode) && ::fcntl(fd, F_OFD_SETLK, &whole_file) == 0 &&
      // Still the same file under that name: it was not renamed or replaced
      // between the open and the lock.
      ::fstatat(directory_fd, name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 && by_name.st_dev == by_fd.st_dev &&
      by_name.st_ino == by_fd.st_ino) {
    // Read under the lock: the times of a file no local writer holds.
    if (!OldEnough(by_name, min_age_seconds)) {
      outcome = Sweep::kKeptRecent;
    } else if (::unlinkat(directory_fd, name, 0) == 0) {
      outcome = Sweep::kRemoved;
    }
  }
  ::close(fd);
  return outcome;
}

}  // namespace

AbandonedTempFiles RemoveAbandonedTempFiles(const std::string& directory, std::int64_t min_age_seconds) {
  AbandonedTempFiles result;
  const int directory_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory_fd < 0) {
    result.error_number = errno;
    return result;
  }
  // The listing reads its own descriptor; directory_fd stays for the *at calls.
  const int listing_fd = ::dup(directory_fd);
  DIR* listing = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
  if (listing == nullptr) {
    result.error_number = errno;
    if (listing_fd >= 0) ::close(listing_fd);
    ::close(directory_fd);
    return result;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing);
    if (entry == nullptr) {
      result.error_number = errno;
      break;
    }
    if (!IsTempFileName(entry->d_name)) continue;
    switch (RemoveIfAbandoned(directory_fd, entry->d_name, min_age_seconds)) {
      case Sweep::kRemoved:
        ++result.removed;
        break;
      case Sweep::kKeptRecent:
        ++result.kept_recent;
        break;
      case Sweep::kKept:
        break;
    }
  }
  ::closedir(listing);
  ::close(directory_fd);
  return result;
}

}  // namespace zimrax
