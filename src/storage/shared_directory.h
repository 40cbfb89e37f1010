// One open descriptor of a directory, shared by every temporary file of a
// stream that is made in it: an upload of many files then holds one
// directory descriptor instead of one per file.
#ifndef ZIMRAX_STORAGE_SHARED_DIRECTORY_H_
#define ZIMRAX_STORAGE_SHARED_DIRECTORY_H_

#include <string>

namespace zimrax {

class SharedDirectory {
 public:
  SharedDirectory() = default;
  ~SharedDirectory();
  SharedDirectory(const SharedDirectory&) = delete;
  SharedDirectory& operator=(const SharedDirectory&) = delete;

  // Opens `path` as a directory unless already open (a later call with
  // another path uses the first). Returns 0 or an errno value; a failed
  // open is tried again by the next call.
  int Open(const std::string& path);

  // The descriptor. REQUIRES: Open returned 0.
  int fd() const { return fd_; }

  // Closes the descriptor (Open may open it again). REQUIRES: no file made
  // through it is open.
  void Close();

 private:
  int fd_ = -1;
};

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_SHARED_DIRECTORY_H_
