#include "storage/staged_file_publisher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace zimrax {
namespace {

// A descriptor closed on every path out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

StoreReport Stored(const Destination& destination, bool replaced) {
  StoreReport report;
  report.entry_name = destination.entry_name;
  report.replaced = replaced;
  return report;
}

// Makes the staged data durable and surfaces an error the file system keeps
// for close (EIO after a failed write-back) before the file gets a name.
int SyncAndCheck(const std::string& staged_path, bool durable) {
  const Descriptor file(::open(staged_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return errno;
  if (durable && ::fsync(file.get()) != 0) return errno;
  const int duplicate = ::dup(file.get());
  if (duplicate < 0) return errno;
  if (::close(duplicate) != 0 && errno != EINTR) return errno;
  return 0;
}

StoreReport LinkIntoPlace(const std::string& staged_path, int directory_fd, const Destination& destination,
                          ConflictPolicy policy) {
  Destination candidate = destination;
  for (;;) {
    if (::linkat(AT_FDCWD, staged_path.c_str(), directory_fd, candidate.entry_name.c_str(), 0) == 0) {
      // The name is in place; the staged name is only a second link now.
      ::unlink(staged_path.c_str());
      return Stored(candidate, false);
    }
    if (errno != EEXIST) return StoreReport::Failed(errno, PathRole::kFile);
    if (policy != ConflictPolicy::kMakeUnique) return StoreReport::WithStatus(StoreStatus::kTaken);
    // Another writer took the name since it was resolved: try the next one.
    Checked<Destination> next = NextUniqueCandidate(candidate);
    if (!next.ok()) return StoreReport::WithStatus(StoreStatus::kNoNameLeft);
    candidate = std::move(next.value);
  }
}

StoreReport RenameIntoPlace(const std::string& staged_path, int directory_fd, const Destination& destination) {
  struct stat existing;
  const bool replaced = ::fstatat(directory_fd, destination.entry_name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (::renameat(AT_FDCWD, staged_path.c_str(), directory_fd, destination.entry_name.c_str()) != 0) {
    return StoreReport::Failed(errno, PathRole::kFile, /*replacing=*/true);
  }
  return Stored(destination, replaced);
}

}  // namespace

StoreReport PublishStagedFile(const std::string& staged_path, const Destination& destination, ConflictPolicy policy,
                              bool durable) {
  if (const int error = SyncAndCheck(staged_path, durable)) return StoreReport::Failed(error, PathRole::kFile);
  const Descriptor directory(::open(destination.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (directory.get() < 0) return StoreReport::Failed(errno, PathRole::kDirectory);
  StoreReport published = policy == ConflictPolicy::kOverwrite
                              ? RenameIntoPlace(staged_path, directory.get(), destination)
                              : LinkIntoPlace(staged_path, directory.get(), destination, policy);
  if (published.ok() && durable && ::fsync(directory.get()) != 0) {
    return StoreReport::Failed(errno, PathRole::kDirectory);
  }
  return published;
}

}  // namespace zimrax
