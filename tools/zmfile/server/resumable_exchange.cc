#include "server/resumable_exchange.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "server/resumable_replies.h"
#include "zimrax/staged_file.h"

namespace zimrax::zmfile {
namespace {

// Under --fsync, writeback of what a PATCH wrote is started every this
// many bytes, so that the sync before its answer waits for the last few.
constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

ResumableExchange::ResumableExchange(const ServeConfig& config, StagingStore store, PatchPlan plan)
    : config_(config), store_(std::move(store)), plan_(std::move(plan)), digest_(nullptr, EVP_MD_CTX_free) {
  written_back_ = plan_.offset;
  if (plan_.checksum) {
    digest_.reset(EVP_MD_CTX_new());
    const EVP_MD* md = plan_.checksum->algorithm == ChecksumAlgorithm::kSha1 ? EVP_sha1() : EVP_sha256();
    if (!digest_ || EVP_DigestInit_ex(digest_.get(), md, nullptr) != 1) write_error_ = ENOMEM;
  }
}

ResumableExchange::~ResumableExchange() { Abort(); }

void ResumableExchange::Feed(std::span<const std::uint8_t> piece) {
  std::uint64_t at = plan_.offset + received_;
  received_ += piece.size();
  if (write_error_ != 0) return;
  if (digest_) EVP_DigestUpdate(digest_.get(), piece.data(), piece.size());
  while (!piece.empty()) {
    const ssize_t n = ::pwrite(plan_.data.fd(), piece.data(), piece.size(), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      write_error_ = errno;
      return;
    }
    piece = piece.subspan(static_cast<std::size_t>(n));
    at += static_cast<std::uint64_t>(n);
  }
  if (config_.options.fsync && at - written_back_ >= kWritebackStep) StartWriteback(at);
}

void ResumableExchange::StartWriteback(std::uint64_t end) {
  // Only a start: a file system without it (or a failure) leaves it all
  // to the sync in Finish, which reports errors.
  ::sync_file_range(plan_.data.fd(), static_cast<off_t>(written_back_), static_cast<off_t>(end - written_back_),
                    SYNC_FILE_RANGE_WRITE);
  written_back_ = end;
}

void ResumableExchange::DropReceived() {
  if (::ftruncate(plan_.data.fd(), static_cast<off_t>(plan_.offset)) != 0) write_error_ = errno;
}

void ResumableExchange::Abort() {
  if (finished_) return;
  finished_ = true;
  if (plan_.checksum) DropReceived();
}

Reply ResumableExchange::Refuse(Refusal refusal) {
  Abort();
  return TusRefusal(refusal.status, refusal.message);
}

void ResumableExchange::Publish() {
  const ConflictPolicy policy = ParseConflictPolicy(plan_.record.conflict);
  const OperationResult result = PublishStagedFile(store_.DataPath(plan_.record.id), plan_.record.filename,
                                                   config_.options.dir, policy, SaveOptions{config_.options.fsync});
  plan_.record.complete = true;
  plan_.record.code = result.faulted() ? static_cast<int>(result.fault) : result.code;
  plan_.record.stored_name = result.ok() ? result.stored_name : "";
  // The data went to its name, or cannot: either way the staging holds none.
  if (!result.ok()) ::unlink(store_.DataPath(plan_.record.id).c_str());
}

int ResumableExchange::SaveProgress() const {
  if (plan_.record.deferred && plan_.record.length) {
    if (const int error = store_.SaveLength(plan_.record)) return error;
  }
  return plan_.record.complete ? store_.SaveOutcome(plan_.record) : 0;
}

Reply ResumableExchange::Finish() {
  finished_ = true;
  if (write_error_ == 0 && digest_) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(digest_.get(), digest, &length);
    if (length != plan_.checksum->digest.size() || std::memcmp(digest, plan_.checksum->digest.data(), length) != 0) {
      DropReceived();
      return TusRefusal(460, "Upload-Checksum: the data does not match its checksum.");
    }
  }
  if (write_error_ == 0 && config_.options.fsync && ::fsync(plan_.data.fd()) != 0) write_error_ = errno;
  if (write_error_ != 0) {
    DropReceived();
    return TusRefusal(500, std::string("Could not store the data: ") + std::strerror(write_error_));
  }
  const std::uint64_t offset = plan_.offset + received_;
  plan_.record.expires = Now() + config_.options.resumable_expiry;
  if (plan_.record.length && offset == *plan_.record.length) Publish();
  if (const int error = SaveProgress()) {
    return TusRefusal(500, std::string("Could not store the upload's record: ") + std::strerror(error));
  }

  Reply reply = TusReply(plan_.creation ? 201 : 204);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set("Upload-Offset", std::to_string(offset));
  if (plan_.creation) response.set(boost::beast::http::field::location, std::string(kResumablePath) + plan_.record.id);
  SetRecordHeaders(plan_.record, response);
  if (plan_.record.complete) {
    reply.stored_name = plan_.record.stored_name;
    if (plan_.record.code != 0) {
      reply.reason = "completed upload " + plan_.record.id + " not stored: code " + std::to_string(plan_.record.code);
    }
  }
  return reply;
}

}  // namespace zimrax::zmfile
