#include "server/resumable_handler.h"

#include <cerrno>
#include <chrono>

#include "server/resumable_recovery.h"
#include "server/resumable_replies.h"
#include "server/tus_headers.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

Reply MethodRefused(const char* allowed) {
  Reply reply = TusRefusal(405, std::string("This address takes ") + allowed + ".");
  std::get<StringResponse>(reply.response).set(http::field::allow, allowed);
  return reply;
}

ResumableStart Answer(Reply reply) { return ResumableStart{std::move(reply), nullptr}; }

std::optional<std::uint64_t> HeadOffset(const StagingStore& store, const UploadRecord& record, bool durable,
                                        bool* gone) {
  if (record.complete) return record.length.value_or(0);
  const std::optional<std::uint64_t> offset = store.AcknowledgedEnd(record.id, durable);
  if (!offset && errno == ENOENT) *gone = true;  // removed meanwhile: answered as no upload
  return offset;
}

Reply HeadReply(const StagingStore& store, UploadRecord record, bool durable) {
  bool gone = false;
  const std::optional<std::uint64_t> offset = HeadOffset(store, record, durable, &gone);
  if (gone) return TusRefusal(404, "No such upload.");
  if (!offset) return TusRefusal(500, "Could not read the upload's data.");
  // All the data in: published by now, or being published.
  if (!record.complete && record.length == *offset) store.LoadOutcome(&record);
  Reply reply = TusReply(200);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set("Upload-Offset", std::to_string(*offset));
  if (record.length) {
    response.set("Upload-Length", std::to_string(*record.length));
  } else {
    response.set("Upload-Defer-Length", "1");
  }
  if (!record.metadata.empty()) response.set("Upload-Metadata", record.metadata);
  SetRecordHeaders(record, response);
  return reply;
}

Reply Terminate(const StagingStore& store, const UploadRecord& record) {
  LockedUpload locked;
  const LockStatus status = store.Lock(record.id, &locked);
  if (status == LockStatus::kBusy) return TusRefusal(423, "The upload is receiving data; try again when it is done.");
  store.Remove(record.id);
  Reply reply = TusReply(204);
  reply.notes.push_back("resumable upload " + record.id + " terminated");
  return reply;
}

}  // namespace

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

ResumableStart StartResumable(const ServeConfig& config, const ResumableRequest& request) {
  // OPTIONS asks what the server speaks, so it cannot require a version.
  if (request.method == http::verb::options) return Answer(CapabilitiesReply(config));
  if (!IsSupportedTusResumable(HeaderValue(request.headers, "Tus-Resumable"))) return Answer(UnsupportedVersionReply());

  const StagingStore store(config.options.dir, config.options.fsync);
  std::string_view id = request.path;
  id.remove_prefix(std::min(id.size(), kResumablePath.size()));
  if (request.path.size() <= kResumablePath.size()) {
    if (request.method != http::verb::post) return Answer(MethodRefused("OPTIONS, POST"));
    return StartCreation(config, store, request);
  }

  // Another user's upload is answered as no upload at all.
  std::optional<UploadRecord> record;
  if (StagingStore::IsUploadId(id)) record = store.Load(id);
  if (!record || record->owner != request.user) return Answer(TusRefusal(404, "No such upload."));
  if (FinishInterruptedPublish(store, config.options.dir, &*record) == RecoveryStatus::kInProgress) {
    return Answer(TusRefusal(423, "The upload is being stored; ask again shortly."));
  }
  if (record->expires <= NowSeconds()) {
    LockedUpload locked;
    if (store.Lock(record->id, &locked) != LockStatus::kBusy) store.Remove(record->id);
    return Answer(TusRefusal(410, "The upload expired and was removed."));
  }
  switch (request.method) {
    case http::verb::head:
      return Answer(HeadReply(store, *record, config.options.fsync));
    case http::verb::patch:
      return StartPatch(config, store, request, std::move(*record));
    case http::verb::delete_:
      return Answer(Terminate(store, *record));
    default:
      return Answer(MethodRefused("OPTIONS, HEAD, PATCH, DELETE"));
  }
}

}  // namespace zimrax::zmfile
