#include "server/upload_exchange.h"

#include <exception>
#include <filesystem>
#include <string>

#include "server/answers.h"
#include "server/ascii_text.h"
#include "server/file_listing.h"
#include "server/listing_query.h"
#include "server/optional_inputs.h"
#include "server/request_gate.h"

namespace zimrax::zmfile {
namespace {

namespace http = boost::beast::http;

std::string RefusedNote(const std::string& what, const Refusal& refusal) {
  return what + " refused with " + std::to_string(refusal.status) + ": " + refusal.message;
}

// The files `report` stored in `dir` and their bytes, for the metrics.
void CountStored(const UploadReport& report, const std::string& dir, Reply& reply) {
  const auto count = [&](const FileReport& file) {
    const std::string name = NameStoredFor(file);
    if (name.empty()) return;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(dir) / name, error);
    ++reply.stored_files;
    if (!error) reply.stored_bytes += size;
  };
  if (report.files.empty()) return count(report);
  for (const FileReport& file : report.files) count(file);
}

}  // namespace

UploadExchange::~UploadExchange() { Abort(); }

std::optional<Reply> UploadExchange::Open(const http::fields& headers) {
  const ServeOptions& options = config_.options;
  if (std::optional<Refusal> refusal = CheckUploadRequest(headers, options.max_body, &frame_)) {
    return Refuse(std::move(*refusal));
  }
  UploadLimits limits;
  limits.max_first_line = options.max_first_line;
  limits.max_comment = options.max_comment;
  limits.durable = options.fsync;
  limits.client_conflicts = config_.client_conflicts;
  limits.may_open_file = may_open_file_;
  limits.rules = &config_.rules;
  limits.before_publish = before_publish_;
  if (hooks_ != nullptr) {
    hook_form_ = std::make_unique<HookFormTap>(FileFieldNames(), options.max_first_line,
                                               hooks_->pre_reads_data() ? options.dir : std::string(), may_open_file_);
    if (hooks_->has_pre()) {
      limits.before_publish = [this, other = before_publish_](PrePublish& upload) {
        if (other) other(upload);
        hook_form_->Finish();
        hook_notes_ = hooks_->CheckBeforePublish(upload, *hook_form_, hook_request_);
      };
    }
  }
  stream_ = std::make_unique<UploadStream>(options.dir, options.conflict, limits);
  expects_continue_ =
      Lowered(std::string(headers[http::field::expect])) == "100-continue" && (frame_.chunked || frame_.length > 0);
  return std::nullopt;
}

void UploadExchange::Feed(std::span<const std::uint8_t> piece) {
  stream_->Feed(piece);
  if (hook_form_) hook_form_->Feed(piece);
}

Reply UploadExchange::Finish() {
  if (config_.before_finish_for_testing) config_.before_finish_for_testing();
  UploadReport report;
  try {
    report = stream_->Finish();  // the pre-hook runs in it, just before publishing
    // An input left empty: filename="" (104) and no data, as the component read it.
    ApplyOptionalInputs(report, [](const FileReport& file) { return file.no_data; });
    if (hook_form_) {
      hook_form_->Finish();
      hooks_->NoticeAfterPublish(report, *hook_form_, hook_request_);
    }
  } catch (const std::exception& fault) {
    report = UploadReport{};
    report.refusal = Refusal{500, std::string("Internal error: ") + fault.what(), RefusalKind::kInternal};
  }
  stream_.reset();
  Reply reply = Answer(report, wants_json_, config_.options.dir, lister_);
  CountStored(report, config_.options.dir, reply);
  if (!report.warning.empty()) reply.notes.push_back("warning: " + report.warning);
  for (std::string& note : hook_notes_) reply.notes.push_back(std::move(note));
  if (report.files.empty() && report.refusal) reply.notes.push_back(RefusedNote("upload", *report.refusal));
  for (const FileReport& file : report.files) {
    if (file.refusal) reply.notes.push_back(RefusedNote(file.field, *file.refusal));
  }
  return reply;
}

Reply UploadExchange::Refuse(Refusal refusal) {
  Abort();
  UploadReport report;
  report.refusal = std::move(refusal);
  Reply reply = Answer(report, wants_json_, config_.options.dir, lister_);
  reply.notes.insert(reply.notes.begin(), RefusedNote("upload", *report.refusal));
  return reply;
}

void UploadExchange::Abort() {
  hook_form_.reset();
  if (!stream_) return;
  stream_->Abort();
  stream_.reset();
}

Reply UploadExchange::Answer(const UploadReport& report, bool wants_json, const std::string& dir,
                             const PageLister& lister) {
  StringResponse response;
  if (wants_json) {
    response = TextResponse(HttpStatusOf(report), UploadJson(report), "application/json");
  } else {
    std::vector<std::string> stored;
    for (const FileReport& file : report.files) {
      if (std::string name = NameStoredFor(file); !name.empty()) stored.push_back(std::move(name));
    }
    const Listing page = lister ? lister(stored) : ListStoredFiles(dir, kDefaultListLimit);
    response = TextResponse(HttpStatusOf(report), UploadHtml(report, page), "text/html; charset=utf-8");
    response.set("Content-Security-Policy", kPageSecurityPolicy);
  }
  response.set(http::field::cache_control, "no-store");
  Reply reply{std::move(response)};
  reply.stored_name = NameStoredBy(report);
  reply.sha256 = DigestsStoredBy(report);
  reply.reason = RefusalReason(report);
  return reply;
}

}  // namespace zimrax::zmfile
