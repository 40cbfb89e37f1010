// POST /resumable/: a new upload, under the same name rules and conflict
// choices as a form's upload, within the caps on unfinished uploads.
#include <cstring>
#include <filesystem>

#include "server/ascii_text.h"
#include "server/conflict_choices.h"
#include "server/file_name_rules.h"
#include "server/refusal.h"
#include "server/resumable_handler.h"
#include "server/resumable_location.h"
#include "server/resumable_replies.h"
#include "server/resumable_rules.h"
#include "server/tus_headers.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

ResumableStart Answer(Reply reply) { return ResumableStart{std::move(reply), nullptr}; }

// Upload-Length, or nullopt for Upload-Defer-Length: 1; a refusal otherwise.
std::optional<Reply> ReadLength(const ServeConfig& config, const http::fields& headers,
                                std::optional<std::uint64_t>* length) {
  const bool has_length = HasHeader(headers, "Upload-Length");
  const bool deferred = HasHeader(headers, "Upload-Defer-Length");
  if (has_length == deferred) {
    return BadHeaderReply("Upload-Length", "give either Upload-Length or Upload-Defer-Length: 1.");
  }
  if (deferred) {
    if (HeaderValue(headers, "Upload-Defer-Length") != "1") return BadHeaderReply("Upload-Defer-Length", "must be 1.");
    return std::nullopt;
  }
  *length = ParseUploadNumber(HeaderValue(headers, "Upload-Length"));
  if (!*length) return BadHeaderReply("Upload-Length", "not a non-negative decimal number.");
  if (**length > config.options.max_body) {
    return TusRefusal(413, "Upload-Length: larger than this server's limit (Tus-Max-Size).");
  }
  if (std::optional<Refusal> refusal = ResumableSizeRefusal(config.rules, **length)) {
    return TusRefusal(refusal->status, "Upload-Length: " + refusal->message);
  }
  return std::nullopt;
}

// The file name and policy from the metadata, as a form's upload has them.
std::optional<Reply> ReadNameAndPolicy(const ServeConfig& config, const UploadMetadata& metadata,
                                       UploadRecord* record) {
  const auto filename = metadata.find("filename");
  if (filename == metadata.end() || filename->second.empty()) {
    return BadHeaderReply("Upload-Metadata", "a filename is needed.");
  }
  if (!IsAcceptableClientName(filename->second) || StoredPartOfClientName(filename->second).empty()) {
    return BadHeaderReply("Upload-Metadata", "the filename is not a plain file name.");
  }
  const std::string_view stored = StoredPartOfClientName(filename->second);
  if (stored.starts_with('.')) {
    const Refusal hidden = HiddenNameRefusal();
    return TusRefusal(hidden.status, "Upload-Metadata: " + hidden.message + ".");
  }
  record->filename = filename->second;
  record->conflict = config.options.conflict;
  if (const auto conflict = metadata.find("conflict"); conflict != metadata.end()) {
    if (std::optional<std::string> why = RefusedConflictChoice(conflict->second, config.client_conflicts)) {
      return BadHeaderReply("Upload-Metadata", *why);
    }
    record->conflict = Lowered(conflict->second);
  }
  // A taken name under "error" is refused now rather than after the data;
  // the publish still refuses one taken meanwhile.
  std::error_code error;
  if (record->conflict == "error" &&
      std::filesystem::exists(std::filesystem::symlink_status(config.options.dir + "/" + std::string(stored), error))) {
    return TusRefusal(403, "The name " + std::string(stored) + " is taken, and the upload's policy is \"error\".");
  }
  return std::nullopt;
}

// The caps on unfinished uploads: per holder (429) and in bytes (507).
std::optional<Reply> CheckCaps(const ServeConfig& config, const StagingStore& store, const UploadRecord& record) {
  const StagingStore::Usage usage = store.SweepAndMeasure(NowSeconds());
  const auto held = usage.incomplete.find(HolderOf(record));
  if (held != usage.incomplete.end() && held->second >= config.options.resumable_max_incomplete) {
    Reply reply = TusRefusal(429, "Too many unfinished uploads; finish or delete one first.");
    reply.notes.push_back("429: " + HolderOf(record) + " has " + std::to_string(held->second) +
                          " unfinished resumable uploads");
    return reply;
  }
  if (usage.staged_bytes + record.length.value_or(0) > config.options.resumable_max_staging) {
    return StagingFullReply(usage.staged_bytes, config.options.resumable_max_staging);
  }
  return std::nullopt;
}

Reply CreationFailed(int error) {
  Reply reply = TusRefusal(500, "Could not create the upload.");
  reply.notes.push_back("resumable creation failed: " + std::string(std::strerror(error)));
  return reply;
}

// The caps checked and the upload created under the staging folder's
// reservation lock, so that creations at once (in any server sharing the
// folder) cannot together pass a cap.
std::optional<Reply> ReserveAndCreate(const ServeConfig& config, const StagingStore& store, UploadRecord* record) {
  if (const int error = store.Prepare()) return CreationFailed(error);
  const std::unique_ptr<StagingReservation> reservation = store.Reserve();
  if (reservation->error() != 0) return CreationFailed(reservation->error());
  if (std::optional<Reply> refusal = CheckCaps(config, store, *record)) return refusal;
  record->id = StagingStore::NewUploadId();
  if (record->id.empty()) return TusRefusal(500, "Could not make an upload ID.");
  if (const int error = store.Create(*record)) return CreationFailed(error);
  return std::nullopt;
}

}  // namespace

ResumableStart StartCreation(const ServeConfig& config, const StagingStore& store, const ResumableRequest& request) {
  UploadRecord record;
  if (std::optional<Reply> refusal = ReadLength(config, request.headers, &record.length)) {
    return Answer(std::move(*refusal));
  }
  const std::string metadata_text(HeaderValue(request.headers, "Upload-Metadata"));
  const std::optional<UploadMetadata> metadata = ParseUploadMetadata(metadata_text);
  if (!metadata) return Answer(BadHeaderReply("Upload-Metadata", "not comma-separated \"key base64value\" pairs."));
  if (std::optional<Reply> refusal = ReadNameAndPolicy(config, *metadata, &record)) return Answer(std::move(*refusal));
  const bool has_data = request.body_length > 0 || request.chunked;
  if (has_data && !IsOffsetStream(HeaderValue(request.headers, http::field::content_type))) {
    return Answer(TusRefusal(415, "Content-Type: data sent with a creation is application/offset+octet-stream."));
  }
  record.owner = request.user;
  record.client = request.client;
  record.metadata = metadata_text;
  record.expires = NowSeconds() + config.options.resumable_expiry;
  record.keep = config.options.resumable_expiry;
  record.deferred = !record.length;
  if (std::optional<Reply> refusal = ReserveAndCreate(config, store, &record)) return Answer(std::move(*refusal));
  // Data with the creation, or an empty file that is complete at once.
  if (has_data || record.length == std::uint64_t{0}) {
    const std::string id = record.id;
    ResumableStart start = StartData(config, store, request, std::move(record), 0, true);
    if (start.reply) store.Remove(id);
    return start;
  }
  Reply reply = TusReply(201);
  StringResponse& response = std::get<StringResponse>(reply.response);
  response.set(http::field::location,
               UploadLocation(config.public_urls, HeaderValue(request.headers, http::field::host), record.id));
  SetRecordHeaders(record, response);
  reply.notes.push_back("resumable upload " + record.id + " created for " + record.filename);
  return Answer(std::move(reply));
}

}  // namespace zimrax::zmfile
