// The existence test on which the name-conflict policy rests.
#ifndef ZIMRAX_STORAGE_FILE_EXISTS_H_
#define ZIMRAX_STORAGE_FILE_EXISTS_H_

#include <string>

namespace zimrax {

// True when any directory entry exists at `path`: a file of any size, a
// directory, or a symbolic link (even a dangling one; links are not
// followed). A path that cannot be examined counts as free (false).
bool FileExists(const std::string& path);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_FILE_EXISTS_H_
