#include "server/staging_store.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
                         {"keep", record.keep},
                         {"metadata", record.metadata}};
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
  record.keep = json.value("keep", std::int64_t{0});
  record.metadata = json.at("metadata").get<std::string>();
  if (!json.at("length").is_null()) record.length = json.at("length").get<std::uint64_t>();
  record.deferred = !record.length;
  return record;
}

// The JSON in the file at `path`; nullopt when it is missing or not JSON.
std::optional<nlohmann::json> ReadJson(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  try {
    return nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
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

// Writes `text` to `path` unless `path` exists (then leaves it, and
// succeeds): a temporary file linked to the name, which never replaces.
int WriteOnce(const std::string& path, const std::string& text, bool durable) {
  const std::string temporary = path + ".new";
  if (const int error = ReplaceFile(temporary, text, durable)) return error;
  const int error = ::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST ? 0 : errno;
  ::unlink(temporary.c_str());
  return error;
}

}  // namespace

std::string HolderOf(const UploadRecord& record) {
  return record.owner.empty() ? "address " + record.client : "user " + record.owner;
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

std::string StagingStore::DataPath(std::string_view id) const { return PathOf(id, ".data"); }
std::string StagingStore::PathOf(std::string_view id, std::string_view suffix) const {
  return folder_ + "/" + std::string(id) + std::string(suffix);
}

int StagingStore::SyncFolder() const {
  const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return errno;
  const int error = ::fsync(folder) == 0 ? 0 : errno;
  ::close(folder);
  return error;
}

int StagingStore::Create(const UploadRecord& record) const {
  if (const int error = Prepare()) return error;
  const int fd = ::open(DataPath(record.id).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  ::close(fd);
  if (const int error = ReplaceFile(PathOf(record.id, ".json"), ToJson(record).dump(), durable_)) {
    ::unlink(DataPath(record.id).c_str());
    return error;
  }
  // The new entries themselves, so that an upload answered 201 survives a
  // crash of the system.
  return durable_ ? SyncFolder() : 0;
}

int StagingStore::SaveLength(const UploadRecord& record) const {
  if (!record.length) return EINVAL;
  return WriteOnce(PathOf(record.id, ".length"), nlohmann::json(*record.length).dump(), durable_);
}

int StagingStore::SaveOutcome(const UploadRecord& record) const {
  const nlohmann::json json = {{"stored_name", record.stored_name}, {"code", record.code}, {"expires", record.expires}};
  return WriteOnce(PathOf(record.id, ".done"), json.dump(), durable_);
}

std::optional<UploadRecord> StagingStore::Load(std::string_view id) const {
  const std::optional<nlohmann::json> json = ReadJson(PathOf(id, ".json"));
  if (!json) return std::nullopt;
  UploadRecord record;
  try {
    record = FromJson(*json);
    if (record.deferred) {
      if (const std::optional<nlohmann::json> length = ReadJson(PathOf(id, ".length"))) {
        record.length = length->get<std::uint64_t>();
      }
    }
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
  if (LoadOutcome(&record)) return record;
  struct stat status;
  if (::stat(DataPath(id).c_str(), &status) == 0) {
    record.expires = std::max<std::int64_t>(record.expires, status.st_mtime + record.keep);
  }
  return record;
}

bool StagingStore::LoadOutcome(UploadRecord* record) const {
  const std::optional<nlohmann::json> json = ReadJson(PathOf(record->id, ".done"));
  if (!json) return false;
  try {
    record->stored_name = json->at("stored_name").get<std::string>();
    record->code = json->at("code").get<int>();
    record->expires = json->at("expires").get<std::int64_t>();
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  record->complete = true;
  return true;
}

void StagingStore::Remove(std::string_view id) const {
  for (const std::string_view suffix : {".data", ".length", ".done", ".json", ".publishing", ".claim"}) {
    ::unlink(PathOf(id, suffix).c_str());
  }
}

int StagingStore::MarkPublishing(std::string_view id, const PublishingMark& mark) const {
  const std::string text = std::to_string(mark.device) + " " + std::to_string(mark.inode);
  if (const int error = ReplaceFile(PathOf(id, ".publishing"), text, durable_)) return error;
  return durable_ ? SyncFolder() : 0;
}

std::optional<PublishingMark> StagingStore::LoadPublishingMark(std::string_view id) const {
  std::ifstream in(PathOf(id, ".publishing"), std::ios::binary);
  PublishingMark mark;
  if (!(in >> mark.device >> mark.inode)) return std::nullopt;
  return mark;
}

void StagingStore::ClearPublishingMark(std::string_view id) const { ::unlink(PathOf(id, ".publishing").c_str()); }

int StagingStore::Claim(std::string_view id, std::uint64_t end) const {
  // Rewritten by each PATCH: another host may read it late, as it may
  // read a new record late.
  return ReplaceFile(PathOf(id, ".claim"), std::to_string(end), false);
}

void StagingStore::DropClaim(std::string_view id) const { ::unlink(PathOf(id, ".claim").c_str()); }

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
    std::uint64_t claimed = 0;
    std::ifstream(PathOf(id, ".claim")) >> claimed;
    usage.staged_bytes += std::max({record->length.value_or(0), DataSize(id), claimed});
    ++usage.incomplete[HolderOf(*record)];
  }
  return usage;
}

}  // namespace zimrax::zmfile
