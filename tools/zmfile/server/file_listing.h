// The files stored in the upload directory: listing them, and opening one
// by name for download without ever leaving the directory.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_LISTING_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_LISTING_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

struct StoredFile {
  std::string name;  // raw bytes, as in the directory
  std::uint64_t size = 0;
  std::int64_t modified_ms = 0;  // last change, milliseconds since 1970 (UTC)
  std::int64_t modified_ns = 0;  // the same in nanoseconds: the listing's order
};

// A place in the listing's order: just after the file with this change
// time and name.
struct ListingCursor {
  std::int64_t modified_ns = 0;
  std::string name;
};

struct Listing {
  std::vector<StoredFile> files;       // newest first
  std::optional<ListingCursor> next;   // where the next page starts; none after the last
};

// True when `a` comes before `b` in the listing: newer first, then by name
// (byte order) among files changed at the same nanosecond.
bool ListedBefore(std::int64_t a_ns, const std::string& a_name, std::int64_t b_ns, const std::string& b_name);

// Lists the regular files directly in `dir` (no symbolic links, no
// subdirectories, no hidden files: the component's temporaries are hidden
// files), in listing order, at most `limit` of them, starting strictly
// after `after` when given. One pass over the directory keeps only the best
// `limit` + 1 entries (a bounded heap), so a huge directory costs time, not
// memory. An unreadable directory gives an empty listing.
Listing ListStoredFiles(const std::string& dir, std::size_t limit,
                        const std::optional<ListingCursor>& after = std::nullopt);

// An open stored file, closed when the object goes.
class OpenedFile {
 public:
  OpenedFile() = default;
  OpenedFile(OpenedFile&& other) noexcept;
  OpenedFile& operator=(OpenedFile&& other) noexcept;
  ~OpenedFile();

  bool ok() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  // Hands the descriptor over; the object no longer closes it.
  int Release();

 private:
  friend OpenedFile OpenStoredFile(const std::string& dir, const std::string& name);
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Opens the regular file `name` directly in `dir` for reading. Fails (ok()
// false) for a name the listing would not show (not plain, or hidden), a
// symbolic link, or anything but a regular file.
OpenedFile OpenStoredFile(const std::string& dir, const std::string& name);

// `raw` with every byte but ASCII letters, digits and the characters of
// `kept` written as %XX (upper-case hex).
std::string PercentEncodedKeeping(std::string_view raw, std::string_view kept);

// A Content-Disposition value that offers `name` as an attachment: an ASCII
// fallback plus the exact name in RFC 5987 form.
std::string AttachmentDisposition(const std::string& name);

// The time as "2024-05-01T12:34:56Z".
std::string IsoTime(std::int64_t ms_since_epoch);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_LISTING_H_
