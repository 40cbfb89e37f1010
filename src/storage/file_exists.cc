#include "storage/file_exists.h"

#include <sys/stat.h>

namespace zimrax {

bool FileExists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace zimrax
