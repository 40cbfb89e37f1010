#include "server/upload_stream.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "server/conflict_choices.h"
#include "server/file_name_rules.h"
#include "zimrax/conflict_policy.h"

namespace zimrax::zmfile {
namespace {

FormStreamOptions ValueOptions(const std::string& dir, const UploadLimits& limits) {
  FormStreamOptions options;
  options.directory = dir;
  options.value_fields = {{kConflictField, kMaxConflictValue}, {kFileField, kMaxClientName},
                          {kCommentField, limits.max_comment}};
  options.max_first_line = limits.max_first_line;
  return options;
}

FormStreamOptions FileOptions(const std::string& dir, const UploadLimits& limits) {
  FormStreamOptions options;
  options.directory = dir;
  options.file_fields = {kFileField};
  options.max_first_line = limits.max_first_line;
  options.save.durable = limits.durable;
  return options;
}

const FieldOutcome* Find(const std::vector<FieldOutcome>& outcomes, const char* name) {
  const auto found =
      std::find_if(outcomes.begin(), outcomes.end(), [name](const FieldOutcome& f) { return f.name == name; });
  return found == outcomes.end() ? nullptr : &*found;
}

bool Faulted(const FieldOutcome* field) {
  return field != nullptr && field->status == FieldStatus::kDone && field->result.faulted();
}

// A value the component read without a code: the field's text.
std::optional<std::string> ValueOf(const FieldOutcome* field) {
  if (field == nullptr || field->status != FieldStatus::kDone || !field->result.ok()) return std::nullopt;
  return field->result.text;
}

std::string Lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

UploadReport Refused(int status, std::string message) {
  UploadReport report;
  report.refusal = Refusal{status, std::move(message)};
  return report;
}

void SetFault(UploadReport& report, RuntimeError fault) {
  report.fault = AutomationError(fault);
  report.error_code = Variant();
  report.result = Variant();
}

}  // namespace

UploadStream::UploadStream(const std::string& dir, const std::string& default_conflict, const UploadLimits& limits)
    : default_conflict_(default_conflict),
      client_conflicts_(limits.client_conflicts),
      max_first_line_(limits.max_first_line),
      values_(ValueOptions(dir, limits)),
      file_(FileOptions(dir, limits)) {}

void UploadStream::Feed(std::span<const std::uint8_t> piece) {
  NoteEdges(piece);
  values_.Feed(piece);
  file_.Feed(piece);
}

void UploadStream::NoteEdges(std::span<const std::uint8_t> piece) {
  const std::string_view bytes(reinterpret_cast<const char*>(piece.data()), piece.size());
  if (!first_line_done_) {
    const std::size_t room = max_first_line_ + 2 - first_line_.size();
    const std::size_t end = bytes.find('\n');
    first_line_.append(bytes.substr(0, std::min(end, room)));
    if (end != std::string_view::npos || first_line_.size() >= max_first_line_ + 2) first_line_done_ = true;
  }
  // Keeps as many last bytes as the closing delimiter line can take.
  const std::size_t keep = max_first_line_ + 8;
  if (bytes.size() >= keep) {
    tail_.assign(bytes.substr(bytes.size() - keep));
  } else {
    tail_.append(bytes);
    if (tail_.size() > keep) tail_.erase(0, tail_.size() - keep);
  }
}

bool UploadStream::EndsWithClosingDelimiter() const {
  std::string delimiter = first_line_;
  if (!delimiter.empty() && delimiter.back() == '\r') delimiter.pop_back();
  if (delimiter.empty()) return false;
  const std::string closing = "\r\n" + delimiter + "--";
  const std::string_view tail = tail_;
  return tail.ends_with(closing) || tail.ends_with(closing + "\r\n");
}

UploadReport UploadStream::Finish() {
  const FormStreamOutcome values = values_.Finish();
  const FieldOutcome* conflict = Find(values.values, kConflictField);
  const FieldOutcome* client_name = Find(values.values, kFileField);
  const FieldOutcome* comment = Find(values.values, kCommentField);

  const bool over_first_line = std::all_of(values.values.begin(), values.values.end(), [](const FieldOutcome& f) {
    return f.status == FieldStatus::kLimitExceeded;
  });
  UploadReport report;
  if (over_first_line) {
    report = Refused(400, "The form's first line is longer than " + std::to_string(max_first_line_) + " bytes.");
  } else if (Faulted(conflict)) {
    SetFault(report, conflict->result.fault);
  } else if (Faulted(client_name)) {
    SetFault(report, client_name->result.fault);
  } else if (client_name != nullptr && client_name->status == FieldStatus::kLimitExceeded) {
    report = Refused(400, "The file name is longer than " + std::to_string(kMaxClientName) + " bytes.");
  } else if (const std::optional<std::string> name = ValueOf(client_name); name && !IsAcceptableClientName(*name)) {
    // Browsers send a bare file name (old ones a Windows path). A name made
    // of "/" or dot-dot pieces is an attempt at a path: refuse it outright
    // rather than have it stored under its last piece.
    report = Refused(400, "The file name is not a plain file name.");
  } else if (!EndsWithClosingDelimiter()) {
    // A form cut short (a Content-Length smaller than the body sent) would
    // store a truncated file; an incomplete form stores nothing.
    report = Refused(400, "The form ends before its closing delimiter line: the body is incomplete.");
  } else if (conflict != nullptr && conflict->status == FieldStatus::kLimitExceeded) {
    report = Refused(400, "The conflict field is longer than any policy; allowed: " + ChoicesText(client_conflicts_));
  } else if (const std::optional<std::string> chosen = ValueOf(conflict); chosen && !chosen->empty()) {
    // The form may choose only among the policies the server allows; an
    // unknown or a disallowed one is refused rather than taken as "error".
    if (std::optional<std::string> refused = RefusedConflictChoice(*chosen, client_conflicts_)) {
      report = Refused(400, std::move(*refused));
    }
  }
  if (report.refusal || report.fault) {
    file_.Discard(kFileField);
    file_.Finish();
  } else {
    std::string policy_text = default_conflict_;
    if (const std::optional<std::string> chosen = ValueOf(conflict); chosen && !chosen->empty()) {
      policy_text = *chosen;  // one of client_conflicts_, checked above
    }
    FormStreamOutcome files = file_.Finish(ParseConflictPolicy(Lowered(policy_text)));
    const FieldOutcome* saved = Find(files.files, kFileField);
    if (saved == nullptr || saved->status != FieldStatus::kDone) {
      report = Refused(400, "The upload could not be read.");
    } else if (saved->result.faulted()) {
      SetFault(report, saved->result.fault);
    } else {
      report.error_code = saved->result.width == ErrorCodeWidth::kInt32
                              ? Variant(saved->result.code)
                              : Variant(static_cast<std::int16_t>(saved->result.code));
      report.result = Variant(saved->result.text);
      report.platform_errno = saved->result.platform_errno;
      report.replaced = saved->result.replaced;
    }
  }
  // The comment is read on its own: a fault there must not hide a stored file.
  report.comment = ValueOf(comment).value_or("");
  return report;
}

void UploadStream::Abort() {
  values_.Abort();
  file_.Abort();
}

}  // namespace zimrax::zmfile
