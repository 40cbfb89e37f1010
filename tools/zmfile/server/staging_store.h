// Where resumable uploads wait until complete: a hidden folder inside the
// upload directory (so on its file system, and hidden from listings and
// downloads), holding per upload its data file ID.data and a small JSON
// record ID.json. A PATCH holds an OFD write lock on the data file, so the
// lock follows the open file across threads and dies with the process.
//
// Several servers may share the folder on a network file system, each host
// caching names and attributes for about a second (GlusterFS). So no file
// of an upload is ever rewritten: the record is written once at creation;
// a deferred length once into ID.length and the outcome once into ID.done,
// names another host has not seen before and so reads fresh; and the data's
// end is asked of the storage itself rather than of a cached size.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
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
  bool deferred = false;                // created without a length
  std::int64_t expires = 0;             // seconds since the epoch
  std::int64_t keep = 0;                // seconds kept unfinished after its last data
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
  // The end of the data as the storage has it now: the upload's offset.
  // -1 on failure.
  std::int64_t Size() const;

 private:
  friend class StagingStore;
  explicit LockedUpload(int fd) : fd_(fd) {}
  int fd_ = -1;
};

enum class LockStatus { kLocked, kBusy, kMissing, kFailed };

// The staged data file a publish was begun with: where a crash between the
// publish and its record finds the file it gave a name.
struct PublishingMark {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Holds the staging folder's reservation lock (an OFD lock on a lock file,
// so across threads and processes sharing the folder): checking a cap and
// creating the upload it admits happen as one step.
class StagingReservation {
 public:
  // Waits for the lock. REQUIRES: the staging folder exists.
  explicit StagingReservation(const std::string& folder);
  ~StagingReservation();
  StagingReservation(const StagingReservation&) = delete;
  StagingReservation& operator=(const StagingReservation&) = delete;
  // 0, or the errno value that kept the lock from being taken.
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

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
  const std::string& folder() const { return folder_; }

  // The record and an empty data file. Returns 0 or an errno value.
  int Create(const UploadRecord& record) const;
  // The length a PATCH gave a deferred upload; the outcome of a published
  // one. Each is written once: a file already there is kept. Return 0 or an
  // errno value.
  int SaveLength(const UploadRecord& record) const;
  int SaveOutcome(const UploadRecord& record) const;
  // The record with its saved length and outcome; unfinished, it expires
  // `keep` seconds after the data last changed.
  std::optional<UploadRecord> Load(std::string_view id) const;
  // Reads the outcome into `record` when there is one. Returns whether.
  bool LoadOutcome(UploadRecord* record) const;
  // Removes every file of `id`, its publishing mark too.
  void Remove(std::string_view id) const;

  // Records, before a publish, which file it publishes (durably under
  // --fsync). Returns 0 or an errno value.
  int MarkPublishing(std::string_view id, const PublishingMark& mark) const;
  std::optional<PublishingMark> LoadPublishingMark(std::string_view id) const;
  // Once the outcome is saved.
  void ClearPublishingMark(std::string_view id) const;

  // REQUIRES: Prepare() succeeded.
  std::unique_ptr<StagingReservation> Reserve() const { return std::make_unique<StagingReservation>(folder_); }

  // Opens the data file of `id` and takes its write lock, from `from` to
  // the end of all data, without waiting. A PATCH locks from the offset it
  // writes at, so the lock's start tells others the bytes acknowledged
  // before it (see LockedFrom); two such locks always overlap.
  LockStatus Lock(std::string_view id, LockedUpload* locked, std::uint64_t from = 0) const;
  // The end of the data file as the storage has it now, or 0 when it is gone.
  std::uint64_t DataSize(std::string_view id) const;
  // Claims room for the PATCH that holds the lock on `id` to write up to
  // the offset `end`: SweepAndMeasure counts it until DropClaim. Made
  // under the reservation lock. 0 or an errno value.
  int Claim(std::string_view id, std::uint64_t end) const;
  void DropClaim(std::string_view id) const;
  // Where the write lock another request holds on the data of `id` starts:
  // the offset that request began at. nullopt when none is held.
  std::optional<std::uint64_t> LockedFrom(std::string_view id) const;
  // The offset HEAD tells of `id`, without taking a lock a PATCH would then
  // find held: while a PATCH writes, where it began; otherwise the data's
  // end, synced first when `sync`. Never bytes a PATCH is still writing.
  // nullopt with errno set when the data cannot be read (ENOENT: gone).
  std::optional<std::uint64_t> AcknowledgedEnd(std::string_view id, bool sync) const;

  struct Usage {
    std::uint64_t staged_bytes = 0;         // what incomplete uploads hold or will
    std::map<std::string, int> incomplete;  // per holder
  };
  // Removes every expired upload that no PATCH holds (`now`: seconds since
  // the epoch) and measures what the others hold or have claimed.
  Usage SweepAndMeasure(std::int64_t now) const;

 private:
  // The folder's path for `id` with `suffix` (".json", ".length", ".done",
  // ".publishing", ".claim").
  std::string PathOf(std::string_view id, std::string_view suffix) const;
  // Makes renames and new entries in the folder durable. 0 or an errno value.
  int SyncFolder() const;

  std::string folder_;
  bool durable_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_STAGING_STORE_H_
