// A file that is written completely before it appears under its name.
//
// The data goes into a temporary file inside the destination directory: an
// unnamed O_TMPFILE where the file system has it, otherwise a hidden,
// uniquely named file. Publishing links or renames it to its name in one
// step. A TempFile that is destroyed unpublished leaves nothing behind.
#ifndef ZIMRAX_STORAGE_TEMP_FILE_H_
#define ZIMRAX_STORAGE_TEMP_FILE_H_

#include <string>

#include "scanner/checked.h"
#include "storage/platform_error.h"

namespace zimrax {

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates the temporary file in `directory`. `need_name` asks for a named
  // temporary, which ReplaceAs needs. Returns 0 or an errno value, and sets
  // *role to what failed (the directory or the file).
  int Create(const std::string& directory, bool need_name, PathRole* role);

  // Writes all of `bytes` at the current end. Returns 0 or an errno value.
  int WriteAll(ByteView bytes);

  // Gives the file the name `name` in its directory unless that name is
  // taken. Returns 0, EEXIST when taken, or another errno value.
  int LinkAs(const std::string& name);

  // Gives the file the name `name`, atomically replacing whatever entry is
  // there (a link is replaced, not followed). REQUIRES: Create(.., true, ..).
  // Returns 0 or an errno value.
  int ReplaceAs(const std::string& name);

 private:
  int CreateNamed();
  void Discard();

  int directory_fd_ = -1;
  int fd_ = -1;
  std::string temp_name_;  // empty for an unnamed temporary
  bool published_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_TEMP_FILE_H_
