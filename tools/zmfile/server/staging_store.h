// Where resumable uploads wait until complete: a hidden folder inside the
// upload directory (so on its file system, and hidden from listings and
// downloads), holding per upload its data file ID.data and a small JSON
// record ID.json. A PATCH holds an OFD write lock on the data file, so the
// lock follows the open file across threads and dies with the process.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace zimrax::zmfile {

inline constexpr std::string_view kStagingFolder = ".resumable-uploads";

struct UploadRecord {
  std::string id;
  std::string owner;                    // the user who created it; "" on a server without users
  std::string client;                   // the client address that created it
  std::string filename;                 // the client's file name, from the metadata
  std::string conflict;                 // the policy it is stored under
  std::optional<std::uint64_t> length;  // nullopt while deferred
  std::int64_t expires = 0;             // seconds since the epoch
  std::string metadata;                 // the Upload-Metadata header as sent
  // Once published: what the core reported.
  bool complete = false;
  std::string stored_name;
  int code = 0;
};

// Who an upload counts against for the cap on incomplete uploads: its user,
// or without users its client address.
std::string HolderOf(const UploadRecord& record);

// The data file of one upload, open, with the write lock held.
class LockedUpload {
 public:
  LockedUpload() = default;
  ~LockedUpload();
  LockedUpload(LockedUpload&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  LockedUpload& operator=(LockedUpload&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  LockedUpload(const LockedUpload&) = delete;
  int fd() const { return fd_; }
  // The data file's size, read now: the upload's offset. -1 on failure.
  std::int64_t Size() const;

 private:
  friend class StagingStore;
  explicit LockedUpload(int fd) : fd_(fd) {}
  int fd_ = -1;
};

enum class LockStatus { kLocked, kBusy, kMissing, kFailed };

class StagingStore {
 public:
  // `dir`: the upload directory. `durable`: records and data synced.
  StagingStore(const std::string& dir, bool durable);

  // Makes the staging folder when missing. Returns 0 or an errno value.
  int Prepare() const;

  // 128 random bits as 32 lower-case hex digits; "" when the generator fails.
  static std::string NewUploadId();
  static bool IsUploadId(std::string_view text);

  std::string DataPath(std::string_view id) const;

  // The record and an empty data file. Returns 0 or an errno value.
  int Create(const UploadRecord& record) const;
  // Replaces the record in one step (a temporary file renamed over it).
  int Save(const UploadRecord& record) const;
  std::optional<UploadRecord> Load(std::string_view id) const;
  // Removes the record and the data of `id`.
  void Remove(std::string_view id) const;

  // Opens the data file of `id` and takes its write lock without waiting.
  LockStatus Lock(std::string_view id, LockedUpload* locked) const;
  // The data file's size, or 0 when it is gone.
  std::uint64_t DataSize(std::string_view id) const;

  struct Usage {
    std::uint64_t staged_bytes = 0;         // what incomplete uploads hold or will
    std::map<std::string, int> incomplete;  // per holder
  };
  // Removes every expired upload that no PATCH holds (`now`: seconds since
  // the epoch) and measures what the others hold.
  Usage SweepAndMeasure(std::int64_t now) const;

 private:
  std::string RecordPath(std::string_view id) const;

  std::string folder_;
  bool durable_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_
