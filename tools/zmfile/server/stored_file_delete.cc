#include "server/stored_file_delete.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "server/file_name_rules.h"

namespace zimrax::zmfile {

DeleteResult DeleteStoredFile(const std::string& dir, const std::string& name, bool durable) {
  DeleteResult result;
  if (!IsPlainFileName(name) || name.front() == '.') return result;
  const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return {DeleteOutcome::kFailed, errno};
  struct stat info {};
  if (::fstatat(dir_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode)) {
    ::close(dir_fd);
    return result;
  }
  // Whatever the name holds by now goes with it; a directory cannot (EISDIR).
  if (::unlinkat(dir_fd, name.c_str(), 0) != 0) {
    const int error = errno;
    ::close(dir_fd);
    if (error == ENOENT || error == EISDIR || error == ENOTDIR) return result;
    return {DeleteOutcome::kFailed, error};
  }
  if (durable && ::fsync(dir_fd) != 0) {
    const int error = errno;
    ::close(dir_fd);
    return {DeleteOutcome::kFailed, error};
  }
  ::close(dir_fd);
  return {DeleteOutcome::kDeleted, 0};
}

}  // namespace zimrax::zmfile
