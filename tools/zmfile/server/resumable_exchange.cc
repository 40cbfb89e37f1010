#include "server/resumable_exchange.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "server/resumable_replies.h"
#include "server/resumable_rules.h"
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
  // A declared length was checked before the body; a chunked one is here.
  if (received_ > plan_.room) overran_ = true;
  if (write_error_ != 0 || overran_) return;
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

void ResumableExchange::DropClaim() {
  if (!plan_.claimed) return;
  plan_.claimed = false;
  store_.DropClaim(plan_.record.id);
}

void ResumableExchange::Abort() {
  if (finished_) return;
  finished_ = true;
  if (plan_.checksum || overran_) DropReceived();
  DropClaim();
}

Reply ResumableExchange::Refuse(Refusal refusal) {
  Abort();
  return TusRefusal(refusal.status, refusal.message);
}

int ResumableExchange::Publish() {
  // The mark first: a crash after the data got its name and before its
  // outcome is saved is then finished from the mark, never published again.
  struct stat data;
  if (::fstat(plan_.data.fd(), &data) != 0) return errno;
  const PublishingMark mark{static_cast<std::uint64_t>(data.st_dev), static_cast<std::uint64_t>(data.st_ino)};
  if (const int error = store_.MarkPublishing(plan_.record.id, mark)) return error;
  const ConflictPolicy policy = ParseConflictPolicy(plan_.record.conflict);
  const OperationResult result = PublishStagedFile(store_.DataPath(plan_.record.id), plan_.record.filename,
                                                   config_.options.dir, policy, SaveOptions{config_.options.fsync});
  plan_.record.complete = true;
  plan_.record.code = result.faulted() ? static_cast<int>(result.fault) : result.code;
  plan_.record.stored_name = result.ok() ? result.stored_name : "";
  return 0;
}

int ResumableExchange::SaveProgress() const {
  if (plan_.record.deferred && plan_.record.length) {
    if (const int error = store_.SaveLength(plan_.record)) return error;
  }
  return plan_.record.complete ? store_.SaveOutcome(plan_.record) : 0;
}

std::optional<Refusal> ResumableExchange::CheckWithHooks(FileFacts* facts, HookFields* fields, std::string* note) {
  // The locked descriptor writes only: a hook that reads the data gets one
  // of its own, beyond what the connection was promised. Without one the
  // hook is not run and the file gets 503.
  const bool copy_taken = hooks_->pre_reads_data() && budget_ != nullptr && budget_->TryTakeExtraFile();
  const int readable = copy_taken ? ::open(store_.DataPath(plan_.record.id).c_str(), O_RDONLY | O_CLOEXEC) : -1;
  facts->field = "resumable";
  facts->client_name = plan_.record.filename;
  facts->stored_name = plan_.record.filename;
  if (std::optional<UploadMetadata> metadata = ParseUploadMetadata(plan_.record.metadata)) {
    fields->assign(metadata->begin(), metadata->end());
  }
  std::optional<Refusal> refusal =
      hooks_->CheckStagedFile(*facts, *fields, plan_.record.conflict, hook_request_, readable, note);
  if (readable >= 0) ::close(readable);
  if (copy_taken) budget_->GiveBackExtraFiles(1);
  return refusal;
}

Reply ResumableExchange::Finish() {
  finished_ = true;
  if (overran_) DropReceived();
  // What was written is now in the data's size, which is measured instead.
  DropClaim();
  if (overran_) {
    Reply reply = TusRefusal(plan_.overrun.status, plan_.overrun.message);
    if (!plan_.overrun_note.empty()) reply.notes.push_back(plan_.overrun_note);
    return reply;
  }
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
  const bool last_byte = plan_.record.length && offset == *plan_.record.length;
  FileFacts facts;
  HookFields fields;
  if (last_byte) {
    // The rules and the digest see the whole file once; the pre-hook is
    // asked only about a file they let through.
    StagedFileCheck check = CheckStagedFile(config_.rules, store_.DataPath(plan_.record.id), plan_.record.filename);
    facts = std::move(check.facts);
    facts.size = *plan_.record.length;
    std::optional<Refusal> refusal = std::move(check.refusal);
    std::string note;
    if (!refusal && hooks_ != nullptr) refusal = CheckWithHooks(&facts, &fields, &note);
    if (refusal) {
      // Refused before it is published: nothing of it stays. Unless the
      // server was only short of room for the check (5xx, "retry"): then
      // what came before this request stays, for the client to send this
      // request's part again. A creation's client has no address to
      // resume at, so nothing of its upload is worth keeping.
      if (refusal->status >= 500 && !plan_.creation) {
        DropReceived();
      } else {
        store_.Remove(plan_.record.id);
      }
      Reply reply = TusRefusal(refusal->status, refusal->message);
      reply.reason = refusal->message;
      reply.notes.push_back(!note.empty() ? note
                                          : "resumable upload " + plan_.record.id + " refused with " +
                                                std::to_string(refusal->status) + ": " + refusal->message);
      return reply;
    }
    sha256_ = facts.sha256;
    if (const int error = Publish()) {
      return TusRefusal(500, std::string("Could not begin publishing the upload: ") + std::strerror(error));
    }
  }
  if (const int error = SaveProgress()) {
    return TusRefusal(500, std::string("Could not store the upload's record: ") + std::strerror(error));
  }
  if (plan_.record.complete) {
    // The data went to its name, or cannot: either way the staging keeps none.
    if (plan_.record.code != 0) ::unlink(store_.DataPath(plan_.record.id).c_str());
    store_.ClearPublishingMark(plan_.record.id);
  }

  Reply reply = TusReply(plan_.creation ? 201 : 204);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set("Upload-Offset", std::to_string(offset));
  if (plan_.creation) response.set(boost::beast::http::field::location, plan_.location);
  SetRecordHeaders(plan_.record, response);
  if (plan_.record.complete) {
    reply.stored_name = plan_.record.stored_name;
    if (plan_.record.code == 0) reply.sha256 = sha256_;
    if (hooks_ != nullptr && plan_.record.code == 0) {
      hooks_->NoticeStoredFile(facts, plan_.record.stored_name, fields, plan_.record.conflict, hook_request_);
    }
    if (plan_.record.code != 0) {
      reply.reason = "completed upload " + plan_.record.id + " not stored: code " + std::to_string(plan_.record.code);
    }
  }
  return reply;
}

}  // namespace zimrax::zmfile
