// A file that is written completely before it appears under its name.
//
// The data goes into a temporary file inside the destination directory: an
// unnamed O_TMPFILE where the file system has it, otherwise a hidden,
// uniquely named file. Publishing links or renames it to its name in one
// step. A TempFile that is destroyed unpublished leaves nothing behind.
#ifndef ZIMRAX_STORAGE_TEMP_FILE_H_
#define ZIMRAX_STORAGE_TEMP_FILE_H_

#include <string>

#include "base/position.h"
#include "storage/store_report.h"

namespace zimrax {

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates the temporary file in `directory`. Returns 0 or an errno value,
  // and sets *role to what failed (the directory or the file).
  int Create(const std::string& directory, PathRole* role);

  bool IsOpen() const { return fd_ >= 0; }

  // Writes all of `first` and then all of `second` at the current end.
  // Returns 0 or an errno value.
  int WriteAll(ByteView first, ByteView second = {});

  // Gives the file the name `name` in its directory unless that name is
  // taken. Returns 0, EEXIST when taken, or another errno value.
  int LinkAs(const std::string& name);

  // Gives the file the name `name`, atomically replacing whatever entry is
  // there (a link is replaced, not followed), and sets *replaced to whether
  // there was one. Returns 0 or an errno value.
  int ReplaceAs(const std::string& name, bool* replaced);

  // Removes the file unless it was published, and closes it.
  void Discard();

 private:
  int CreateNamed();
  // Gives an unnamed file a hidden random name, so that it can be renamed.
  int NameHidden();

  int directory_fd_ = -1;
  int fd_ = -1;
  std::string temp_name_;  // empty while the file has no name
  bool published_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_TEMP_FILE_H_
