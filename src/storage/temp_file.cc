#include "storage/temp_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "storage/storage_test_seams.h"

namespace zimrax {
namespace {

std::atomic<bool> force_named_temp_files{false};
std::atomic<int> close_check_failure{0};
std::atomic<bool> replay_next_publish{false};

constexpr mode_t kFileMode = 0666;  // narrowed by the process umask, as for any new file
// Writes go straight from the body in steps of this size. On a 2-core VM
// (Linux 6.18, ext4) 256 KiB writes into the page cache cost about 0.2 s of
// CPU a GiB against 0.3 s for 64 KiB ones. Much larger single writes let the
// page cache build huge folios: 1 MiB writes measured ten times slower on
// virtual machines that return free huge pages to their host.
constexpr std::size_t kMaxWriteChunk = std::size_t{256} << 10;

// ".zmfile-" and 16 random letters and digits: hidden, and never a name an
// upload could be stored under by accident.
std::string RandomTempName() {
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[16];
  if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
    for (unsigned char& byte : random) byte = static_cast<unsigned char>(std::rand());
  }
  static_assert(sizeof(random) == kTempNameRandomLength);
  std::string name(kTempNamePrefix);
  for (unsigned char byte : random) name += kAlphabet[byte % 36];
  return name;
}

// True when `name` in `directory_fd` is the file open as `fd`.
bool NameRefersTo(int directory_fd, const char* name, int fd) {
  struct stat by_name {};
  struct stat by_fd {};
  return ::fstatat(directory_fd, name, &by_name, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &by_fd) == 0 &&
         by_name.st_dev == by_fd.st_dev && by_name.st_ino == by_fd.st_ino;
}

// A call that succeeded while the replay seam is set reports EEXIST, as a
// network file system answers a link or rename it sent again after losing
// the reply.
int Replayed(int result) {
  if (result == 0 && replay_next_publish.exchange(false)) {
    errno = EEXIST;
    return -1;
  }
  return result;
}

int LinkAt(int from_fd, const char* from, int to_fd, const char* to, int flags) {
  return Replayed(::linkat(from_fd, from, to_fd, to, flags));
}

}  // namespace

void ReplayNextPublishForTesting(bool replay) { replay_next_publish = replay; }

void ForceNamedTempFilesForTesting(bool force) { force_named_temp_files = force; }

void FailNextCloseCheckForTesting(int error_number) { close_check_failure = error_number; }

bool IsTempFileName(std::string_view name) {
  if (name.size() != kTempNamePrefix.size() + kTempNameRandomLength || !name.starts_with(kTempNamePrefix)) {
    return false;
  }
  for (const char c : name.substr(kTempNamePrefix.size())) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

TempFile::~TempFile() { Discard(); }

void TempFile::Discard() {
  // The name goes before the descriptor, whose close releases the lock.
  if (!published_ && !temp_name_.empty()) ::unlinkat(directory_fd_, temp_name_.c_str(), 0);
  if (fd_ >= 0) ::close(fd_);
  directory_.reset();
  fd_ = -1;
  directory_fd_ = -1;
  temp_name_.clear();
}

int TempFile::Create(const std::string& directory, PathRole* role) {
  return Create(std::make_shared<SharedDirectory>(), directory, role);
}

int TempFile::Create(std::shared_ptr<SharedDirectory> directory, const std::string& path, PathRole* role) {
  *role = PathRole::kDirectory;
  if (const int error = directory->Open(path)) return error;
  directory_ = std::move(directory);
  directory_fd_ = directory_->fd();
  *role = PathRole::kFile;
  if (force_named_temp_files) return CreateNamed();
  fd_ = ::openat(directory_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kFileMode);
  if (fd_ >= 0) return 0;
  // File systems without O_TMPFILE answer one of these; use a named file.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  return CreateNamed();
}

bool TempFile::Lock() {
  struct flock whole_file {};
  whole_file.l_type = F_WRLCK;
  whole_file.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file, however it grows
  if (::fcntl(fd_, F_OFD_SETLK, &whole_file) == 0) return true;
  // A file system without such locks cannot show a lock to the sweep
  // either, so the sweep never removes the file: go on without one.
  return errno != EAGAIN && errno != EACCES;
}

int TempFile::CreateNamed() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = RandomTempName();
    fd_ = ::openat(directory_fd_, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd_ < 0 && errno != EEXIST) return errno;
    if (fd_ < 0) continue;
    // Between the open and the lock, a sweep may have taken this file for
    // an abandoned one: it then holds the lock or has removed the name.
    // Leave the name to it and start over under another.
    if (Lock() && NameRefersTo(directory_fd_, name.c_str(), fd_)) {
      temp_name_ = std::move(name);
      return 0;
    }
    ::close(fd_);
    fd_ = -1;
  }
  return EEXIST;
}

int TempFile::Sync() {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int TempFile::CheckClose() {
  if (const int injected = close_check_failure.exchange(0)) return injected;
  const int copy = ::dup(fd_);
  if (copy < 0) return errno;
  // Linux releases the descriptor even when close() reports EINTR, and
  // EINTR says nothing about the data: only other errors count.
  if (::close(copy) != 0 && errno != EINTR) return errno;
  return 0;
}

int TempFile::SyncDirectory() {
  while (::fsync(directory_fd_) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

int TempFile::WriteAll(ByteView first, ByteView second) {
  ByteView parts[2] = {first, second};
  for (;;) {
    struct iovec vectors[2];
    int count = 0;
    std::size_t budget = kMaxWriteChunk;
    for (const ByteView& part : parts) {
      if (part.empty() || budget == 0) continue;
      const std::size_t take = part.size() < budget ? part.size() : budget;
      vectors[count++] = {const_cast<std::uint8_t*>(part.data()), take};
      budget -= take;
    }
    if (count == 0) return 0;
    const ssize_t written = ::writev(fd_, vectors, count);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return errno;
    if (written == 0) return EIO;
    std::size_t done = static_cast<std::size_t>(written);
    for (ByteView& part : parts) {
      const std::size_t used = done < part.size() ? done : part.size();
      part = part.subspan(used);
      done -= used;
    }
  }
}

int TempFile::LinkAs(const std::string& name) {
  const int error = LinkOnce(name);
  // A taken name that is this very file was given by this call: the file
  // system answered a replayed link or rename (NFS after a lost reply). Counting it
  // as taken would leave the upload stored while answering "taken".
  if (error == EEXIST && NameRefersTo(directory_fd_, name.c_str(), fd_)) {
    published_ = true;
    if (!temp_name_.empty()) ::unlinkat(directory_fd_, temp_name_.c_str(), 0);
    return 0;
  }
  if (error == 0) published_ = true;
  return error;
}

int TempFile::LinkOnce(const std::string& name) {
  if (temp_name_.empty()) {
    char proc_path[64];
    std::snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", fd_);
    if (LinkAt(AT_FDCWD, proc_path, directory_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    // No /proc: linking the descriptor itself needs more privilege, but try.
    if (LinkAt(fd_, "", directory_fd_, name.c_str(), AT_EMPTY_PATH) != 0) return errno;
    return 0;
  }
  if (Replayed(::renameat2(directory_fd_, temp_name_.c_str(), directory_fd_, name.c_str(), RENAME_NOREPLACE)) == 0) {
    return 0;
  }
  // EINVAL, ENOSYS, EOPNOTSUPP: the file system cannot rename without
  // replacing (GlusterFS, NFS). Link, then drop the temporary name:
  // link() fails with EEXIST rather than replace.
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  if (LinkAt(directory_fd_, temp_name_.c_str(), directory_fd_, name.c_str(), 0) != 0) return errno;
  ::unlinkat(directory_fd_, temp_name_.c_str(), 0);
  return 0;
}

int TempFile::NameHidden() {
  // Locked before it has a name, so that no sweep ever sees it unlocked.
  // Nothing else can have opened an unnamed file, so this cannot conflict.
  Lock();
  char proc_path[64];
  std::snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = RandomTempName();
    if (::linkat(AT_FDCWD, proc_path, directory_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        ::linkat(fd_, "", directory_fd_, name.c_str(), AT_EMPTY_PATH) == 0) {
      temp_name_ = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int TempFile::ReplaceAs(const std::string& name, bool* replaced) {
  *replaced = false;
  // rename() needs a name: an unnamed file gets a hidden one only now, when
  // it is complete, so that nothing partial ever has a name.
  if (temp_name_.empty()) {
    if (const int error = NameHidden()) return error;
  }
  // Without replacing first, so that a free name is told from a taken one;
  // the replacing rename is as atomic either way.
  *replaced = false;
  if (::renameat2(directory_fd_, temp_name_.c_str(), directory_fd_, name.c_str(), RENAME_NOREPLACE) == 0) {
    published_ = true;
    return 0;
  }
  if (errno != EEXIST && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  if (errno != EEXIST) {
    struct stat entry {};
    *replaced = ::fstatat(directory_fd_, name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
  } else {
    *replaced = true;
  }
  if (::renameat(directory_fd_, temp_name_.c_str(), directory_fd_, name.c_str()) != 0) return errno;
  published_ = true;
  return 0;
}

}  // namespace zimrax
