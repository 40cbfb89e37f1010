// PATCH /resumable/ID, and the data a creation POST carries.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "server/ascii_text.h"
#include "server/resumable_exchange.h"
#include "server/resumable_handler.h"
#include "server/resumable_location.h"
#include "server/resumable_replies.h"
#include "server/resumable_rules.h"
#include "server/tus_headers.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

constexpr std::string_view kOffsetStream = "application/offset+octet-stream";

ResumableStart Answer(Reply reply) { return ResumableStart{std::move(reply), nullptr}; }

// The answer to a PATCH of an upload whose data is all in: its outcome, which
// no retry changes, so never 409 or 423.
Reply CompletedReply(const UploadRecord& record, std::uint64_t offset, std::uint64_t body_length) {
  if (offset != record.length.value_or(0) || body_length != 0) {
    return TusRefusal(403, "The upload is complete; it takes no more data.");
  }
  Reply reply = TusReply(204);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set("Upload-Offset", std::to_string(offset));
  SetRecordHeaders(record, response);
  return reply;
}

// A deferred length: the size rule and the staging cap bound what this
// PATCH may add. A declared body is checked against them at once, and a
// chunked one gets the bound as its room. The room is claimed under the
// folder's reservation lock, so that PATCHes at once (in any server
// sharing the folder) cannot together pass the cap.
std::optional<Reply> ClaimDeferredRoom(const ServeConfig& config, const StagingStore& store,
                                       const ResumableRequest& request, std::string_view id, std::uint64_t offset,
                                       PatchPlan* plan) {
  if (std::optional<Refusal> refusal = ResumableSizeRefusal(config.rules, offset + request.body_length)) {
    return TusRefusal(refusal->status, refusal->message);
  }
  const std::unique_ptr<StagingReservation> reservation = store.Reserve();
  if (reservation->error() != 0) {
    return TusRefusal(500, std::string("Could not reserve room for the data: ") + std::strerror(reservation->error()));
  }
  const StagingStore::Usage usage = store.SweepAndMeasure(NowSeconds());
  const std::uint64_t cap = config.options.resumable_max_staging;
  const std::uint64_t room = usage.staged_bytes < cap ? cap - usage.staged_bytes : 0;
  if (request.body_length > room) return StagingFullReply(usage.staged_bytes, cap);
  if (request.chunked) {
    // Past --max-body the chunked reader refuses the body itself.
    plan->room = std::min(room, config.options.max_body);
    plan->overrun = Refusal{507, kNoStagingRoom};
    plan->overrun_note = StagingFullNote(usage.staged_bytes, cap);
    const std::uint64_t max_size = config.rules.max_file_size;
    if (max_size > 0 && max_size - offset < plan->room) {  // offset <= max_size, checked above
      plan->room = max_size - offset;
      plan->overrun = *ResumableSizeRefusal(config.rules, max_size + 1);
      plan->overrun_note.clear();
    }
  }
  if (const int error = store.Claim(id, offset + (request.chunked ? plan->room : request.body_length))) {
    return TusRefusal(500, std::string("Could not reserve room for the data: ") + std::strerror(error));
  }
  plan->claimed = true;
  return std::nullopt;
}

}  // namespace

bool IsOffsetStream(std::string_view content_type) {
  const std::string lowered = Lowered(std::string(content_type.substr(0, content_type.find(';'))));
  return lowered == kOffsetStream;
}

ResumableStart StartPatch(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request,
                          UploadRecord record) {
  const std::optional<std::uint64_t> offset = ParseUploadNumber(HeaderValue(request.headers, "Upload-Offset"));
  if (!offset) return Answer(BadHeaderReply("Upload-Offset", "not a non-negative decimal number."));
  if (record.complete) return Answer(CompletedReply(record, *offset, request.body_length));
  if (!IsOffsetStream(HeaderValue(request.headers, http::field::content_type))) {
    return Answer(TusRefusal(415, "Content-Type: a PATCH carries application/offset+octet-stream."));
  }
  if (HasHeader(request.headers, "Upload-Length")) {
    const std::optional<std::uint64_t> length = ParseUploadNumber(HeaderValue(request.headers, "Upload-Length"));
    if (!length) return Answer(BadHeaderReply("Upload-Length", "not a non-negative decimal number."));
    if (record.length && *record.length != *length) {
      return Answer(BadHeaderReply("Upload-Length", "differs from the length the upload was created with."));
    }
    if (*length > config.options.max_body) {
      return Answer(TusRefusal(413, "Upload-Length: larger than this server's limit (Tus-Max-Size)."));
    }
    if (std::optional<Refusal> refusal = ResumableSizeRefusal(config.rules, *length)) {
      return Answer(TusRefusal(refusal->status, "Upload-Length: " + refusal->message));
    }
    if (*length < *offset) return Answer(BadHeaderReply("Upload-Length", "smaller than Upload-Offset."));
    record.length = length;
  }
  return StartData(config, store, request, std::move(record), *offset, false);
}

ResumableStart StartData(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request,
                         UploadRecord record, std::uint64_t offset, bool creation) {
  if (request.body_length > config.options.max_body) {
    return Answer(TusRefusal(413, "The data is larger than this server's limit."));
  }
  PatchPlan plan;
  if (HasHeader(request.headers, "Upload-Checksum")) {
    plan.checksum = ParseUploadChecksum(HeaderValue(request.headers, "Upload-Checksum"));
    if (!plan.checksum) {
      return Answer(BadHeaderReply("Upload-Checksum", "not \"sha1 <base64>\" or \"sha256 <base64>\"."));
    }
  }
  switch (store.Lock(record.id, &plan.data, offset)) {
    case LockStatus::kLocked:
      break;
    case LockStatus::kBusy:
      return Answer(TusRefusal(423, "Another request is sending data to this upload."));
    case LockStatus::kMissing:
      return Answer(TusRefusal(404, "No such upload."));
    case LockStatus::kFailed:
      return Answer(TusRefusal(500, std::string("Could not open the upload: ") + std::strerror(errno)));
  }
  // Another server may have published the upload a moment ago while this
  // host's view of its files lags: the outcome read under the lock decides.
  if (!creation && store.LoadOutcome(&record)) {
    return Answer(CompletedReply(record, offset, request.body_length));
  }
  // The offset is the data's end, read under the lock: a record or an
  // attribute cache could be behind.
  const std::int64_t size = plan.data.Size();
  if (size < 0 || static_cast<std::uint64_t>(size) != offset) {
    return Answer(TusRefusal(409, "Upload-Offset: the upload is at " + std::to_string(size) + "."));
  }
  // What is below the offset is acknowledged (under --fsync, synced: an
  // earlier request cut off may have left bytes unsynced).
  if (config.options.fsync && ::fsync(plan.data.fd()) != 0) {
    return Answer(TusRefusal(500, std::string("Could not sync the upload: ") + std::strerror(errno)));
  }
  if (record.length) {
    if (offset + request.body_length > *record.length) {
      return Answer(TusRefusal(413, "The data runs past Upload-Length."));
    }
    plan.room = *record.length - offset;
  } else if (std::optional<Reply> refusal = ClaimDeferredRoom(config, store, request, record.id, offset, &plan)) {
    return Answer(std::move(*refusal));
  }
  plan.record = std::move(record);
  plan.offset = offset;
  plan.body_length = request.body_length;
  plan.chunked = request.chunked;
  plan.creation = creation;
  if (creation) {
    plan.location = UploadLocation(config.public_urls, HeaderValue(request.headers, http::field::host), plan.record.id);
  }
  plan.expects_continue = Lowered(std::string(HeaderValue(request.headers, http::field::expect))) == "100-continue" &&
                          (request.body_length > 0 || request.chunked);
  return ResumableStart{std::nullopt, std::make_unique<ResumableExchange>(config, store, std::move(plan))};
}

}  // namespace zimrax::zmfile
