#include "server/staging_store.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kIdBytes = 16;

nlohmann::json ToJson(const UploadRecord& record) {
  nlohmann::json json = {{"id", record.id},
                         {"owner", record.owner},
                         {"client", record.client},
                         {"filename", record.filename},
                         {"conflict", record.conflict},
                         {"expires", record.expires},
                         {"metadata", record.metadata},
                         {"complete", record.complete},
                         {"stored_name", record.stored_name},
                         {"code", record.code}};
  json["length"] = record.length ? nlohmann::json(*record.length) : nlohmann::json(nullptr);
  return json;
}

UploadRecord FromJson(const nlohmann::json& json) {
  UploadRecord record;
  record.id = json.at("id").get<std::string>();
  record.owner = json.at("owner").get<std::string>();
  record.client = json.at("client").get<std::string>();
  record.filename = json.at("filename").get<std::string>();
  record.conflict = json.at("conflict").get<std::string>();
  record.expires = json.at("expires").get<std::int64_t>();
  record.metadata = json.at("metadata").get<std::string>();
  record.complete = json.at("complete").get<bool>();
  record.stored_name = json.at("stored_name").get<std::string>();
  record.code = json.at("code").get<int>();
  if (!json.at("length").is_null()) record.length = json.at("length").get<std::uint64_t>();
  return record;
}

// Writes `text` to `path` through a temporary file renamed over it.
int ReplaceFile(const std::string& path, const std::string& text, bool durable) {
  const std::string temporary = path + ".new";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = 0;
  for (std::size_t done = 0; done < text.size() && error == 0;) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
  if (error == 0 && durable && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

bool TakeWriteLock(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

std::string HolderOf(const UploadRecord& record) {
  return record.owner.empty() ? "address " + record.client : "user " + record.owner;
}

LockedUpload::~LockedUpload() {
  if (fd_ >= 0) ::close(fd_);  // and with it the lock
}

std::int64_t LockedUpload::Size() const {
  struct stat status;
  return ::fstat(fd_, &status) == 0 ? status.st_size : -1;
}

StagingStore::StagingStore(const std::string& dir, bool durable)
    : folder_(dir + "/" + std::string(kStagingFolder)), durable_(durable) {}

int StagingStore::Prepare() const {
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

std::string StagingStore::NewUploadId() {
  unsigned char bytes[kIdBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (const unsigned char b : bytes) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id;
}

bool StagingStore::IsUploadId(std::string_view text) {
  if (text.size() != 2 * kIdBytes) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string StagingStore::DataPath(std::string_view id) const { return folder_ + "/" + std::string(id) + ".data"; }
std::string StagingStore::RecordPath(std::string_view id) const { return folder_ + "/" + std::string(id) + ".json"; }

int StagingStore::Create(const UploadRecord& record) const {
  if (const int error = Prepare()) return error;
  const int fd = ::open(DataPath(record.id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  ::close(fd);
  if (const int error = Save(record)) {
    ::unlink(DataPath(record.id).c_str());
    return error;
  }
  // The new entries themselves, so that an upload answered 201 survives a
  // crash of the system.
  if (durable_) {
    const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return errno;
    const int error = ::fsync(folder) == 0 ? 0 : errno;
    ::close(folder);
    return error;
  }
  return 0;
}

int StagingStore::Save(const UploadRecord& record) const {
  return ReplaceFile(RecordPath(record.id), ToJson(record).dump(), durable_);
}

std::optional<UploadRecord> StagingStore::Load(std::string_view id) const {
  std::ifstream in(RecordPath(id), std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  try {
    return FromJson(nlohmann::json::parse(text.str()));
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

void StagingStore::Remove(std::string_view id) const {
  ::unlink(DataPath(id).c_str());
  ::unlink(RecordPath(id).c_str());
}

LockStatus StagingStore::Lock(std::string_view id, LockedUpload* locked) const {
  const int fd = ::open(DataPath(id).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? LockStatus::kMissing : LockStatus::kFailed;
  if (!TakeWriteLock(fd)) {
    const int error = errno;
    ::close(fd);
    return error == EAGAIN || error == EACCES ? LockStatus::kBusy : LockStatus::kFailed;
  }
  *locked = LockedUpload(fd);
  return LockStatus::kLocked;
}

std::uint64_t StagingStore::DataSize(std::string_view id) const {
  struct stat status;
  return ::stat(DataPath(id).c_str(), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

StagingStore::Usage StagingStore::SweepAndMeasure(std::int64_t now) const {
  Usage usage;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder_, error)) {
    const std::string name = entry.path().filename();
    if (!name.ends_with(".json") || !IsUploadId(name.substr(0, name.size() - 5))) continue;
    const std::string id = name.substr(0, name.size() - 5);
    const std::optional<UploadRecord> record = Load(id);
    if (!record) continue;
    if (record->expires <= now) {
      LockedUpload locked;
      const LockStatus status = Lock(id, &locked);
      if (status == LockStatus::kLocked || status == LockStatus::kMissing) Remove(id);
      if (status != LockStatus::kBusy) continue;
    }
    if (record->complete) continue;
    usage.staged_bytes += std::max(record->length.value_or(0), DataSize(id));
    ++usage.incomplete[HolderOf(*record)];
  }
  return usage;
}

}  // namespace zimrax::zmfile
