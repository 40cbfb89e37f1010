// A file that is written completely before it appears under its name.
//
// The data goes into a temporary file inside the destination directory: an
// unnamed O_TMPFILE where the file system has it, otherwise a hidden,
// uniquely named file. Publishing links or renames it to its name in one
// step. A TempFile that is destroyed unpublished leaves nothing behind.
//
// Whenever the temporary file has a hidden name, its writer holds a write
// lock on it (an open-file-description lock, F_OFD_SETLK, on the whole
// file) until it is published or discarded. The lock goes with the process:
// a hidden file nobody holds locked was left by a writer that was killed,
// which is how RemoveAbandonedTempFiles tells it from a live one.
#ifndef ZIMRAX_STORAGE_TEMP_FILE_H_
#define ZIMRAX_STORAGE_TEMP_FILE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/position.h"
#include "storage/shared_directory.h"
#include "storage/store_report.h"

namespace zimrax {

// The hidden names temporary files get: this prefix and kTempNameRandomLength
// random characters of [a-z0-9].
inline constexpr std::string_view kTempNamePrefix = ".zmfile-";
inline constexpr std::size_t kTempNameRandomLength = 16;

// True for exactly the names a temporary file can have.
bool IsTempFileName(std::string_view name);

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates the temporary file in `directory`. Returns 0 or an errno value,
  // and sets *role to what failed (the directory or the file).
  int Create(const std::string& directory, PathRole* role);
  // The same in the directory `directory` opens (or has open), which the
  // file holds on to instead of a descriptor of its own.
  int Create(std::shared_ptr<SharedDirectory> directory, const std::string& path, PathRole* role);

  bool IsOpen() const { return fd_ >= 0; }

  // Writes all of `first` and then all of `second` at the current end.
  // Returns 0 or an errno value.
  int WriteAll(ByteView first, ByteView second = {});

  // Makes the written data durable before the file is published: fsync (the
  // file's size is metadata, which fdatasync may leave unwritten for a new
  // file). Returns 0 or an errno value.
  int Sync();

  // Closes a duplicate of the descriptor, so that an error the file system
  // reports only at close (EIO after a failed write-back, as on network file
  // systems) is seen before the file is published. The descriptor itself
  // stays open: an unnamed file can be linked only through it. Returns 0 or
  // an errno value.
  int CheckClose();

  // Makes the directory entries created so far durable (fsync of the
  // directory). Returns 0 or an errno value.
  int SyncDirectory();

  // Gives the file the name `name` in its directory unless that name is
  // taken (by another file: a name found taken by this file itself counts
  // as linked). Returns 0, EEXIST when taken, or another errno value.
  int LinkAs(const std::string& name);

  // Gives the file the name `name`, atomically replacing whatever entry is
  // there (a link is replaced, not followed), and sets *replaced to whether
  // there was one. Returns 0 or an errno value.
  int ReplaceAs(const std::string& name, bool* replaced);

  // Removes the file unless it was published, and closes it.
  void Discard();

 private:
  int CreateNamed();
  // LinkAs without telling a replayed link from a taken name.
  int LinkOnce(const std::string& name);
  // Takes the write lock; false when another description holds it.
  bool Lock();
  // Gives an unnamed file a hidden random name, so that it can be renamed.
  int NameHidden();

  std::shared_ptr<SharedDirectory> directory_;
  int directory_fd_ = -1;  // directory_'s, while the file is open
  int fd_ = -1;
  std::string temp_name_;  // empty while the file has no name
  bool published_ = false;
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_TEMP_FILE_H_
