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
  stream_ = std::make_unique<UploadStream>(options.dir, options.conflict, limits);
  unchosen_.emplace(options.max_first_line);
  expects_continue_ = Lowered(std::string(headers[http::field::expect])) == "100-continue" &&
                      (frame_.chunked || frame_.length > 0);
  return std::nullopt;
}

void UploadExchange::Feed(std::span<const std::uint8_t> piece) {
  stream_->Feed(piece);
  unchosen_->Feed(piece);
}

Reply UploadExchange::Finish() {
  if (config_.before_finish_for_testing) config_.before_finish_for_testing();
  UploadReport report;
  try {
    report = stream_->Finish();
    ApplyOptionalInputs(report, [this](const FileReport& file) { return unchosen_->Unchosen(file.field); });
  } catch (const std::exception& fault) {
    report = UploadReport{};
    report.refusal = Refusal{500, std::string("Internal error: ") + fault.what(), RefusalKind::kInternal};
  }
  stream_.reset();
  Reply reply = Answer(report, wants_json_, config_.options.dir, lister_);
  CountStored(report, config_.options.dir, reply);
  if (!report.warning.empty()) reply.notes.push_back("warning: " + report.warning);
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
  reply.reason = RefusalReason(report);
  return reply;
}

}  // namespace zimrax::zmfile
