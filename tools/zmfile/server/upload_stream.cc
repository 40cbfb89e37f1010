#include "server/upload_stream.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <utility>

#include "server/ascii_text.h"
#include "server/conflict_choices.h"
#include "server/file_name_rules.h"
#include "server/result_messages.h"
#include "server/upload_rule_check.h"
#include "zimrax/conflict_policy.h"

namespace zimrax::zmfile {
namespace {

FormStreamOptions StreamOptions(const std::string& dir, const UploadLimits& limits, FileInspector* inspector) {
  FormStreamOptions options;
  options.directory = dir;
  options.file_fields = FileFieldNames();
  options.value_fields = {{kConflictField, kMaxConflictValue}, {kCommentField, limits.max_comment}};
  // A file field read as a value gives the client's file name.
  for (std::string& field : FileFieldNames()) options.value_fields.push_back({std::move(field), kMaxClientName});
  options.max_first_line = limits.max_first_line;
  options.save.durable = limits.durable;
  options.may_open_file = limits.may_open_file;
  if (inspector != nullptr) {
    options.on_file_data = [inspector](std::size_t field, std::span<const std::uint8_t> data) {
      return inspector->OnData(field, data);
    };
  }
  return options;
}

const FieldOutcome* Find(const std::vector<FieldOutcome>& outcomes, const std::string& name) {
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

void SetFault(FileReport& report, const OperationResult& faulted) { report.outcome = faulted; }

// True when the form has the section `field`: its name was walked, or the
// component found it (an outcome other than "field not found").
bool IsPresent(const std::string& field, const FieldOutcome* value, const FormStreamOutcome& values) {
  if (std::find(values.sections.begin(), values.sections.end(), field) != values.sections.end()) return true;
  if (value == nullptr || value->status != FieldStatus::kDone) return value != nullptr;
  if (value->result.faulted()) return false;
  const std::int32_t code = value->result.code;
  return code != static_cast<std::int32_t>(ResultCode::kFieldNameNotFound) &&
         code != static_cast<std::int32_t>(ResultCode::kDispositionNotFound);
}

// The component's outcome of one file field, into its report.
void Take(const FieldOutcome* saved, FileReport& file) {
  if (saved == nullptr || saved->status != FieldStatus::kDone) {
    file.refusal = Refusal{400, "The upload could not be read.", RefusalKind::kIncomplete};
  } else if (saved->result.faulted()) {
    SetFault(file, saved->result);
  } else {
    file.outcome = saved->result;
  }
}

// A section name fit to be quoted back in a hint: bounded, control bytes
// shown as "?".
std::string HintedName(const std::string& name) {
  std::string shown = name.substr(0, kMaxHintedName);
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  if (name.size() > kMaxHintedName) shown += "...";
  return shown;
}

void NoteFieldsFound(const FormStreamOutcome& values, UploadReport& report) {
  for (const std::string& name : values.sections) {
    if (std::find(report.fields_found.begin(), report.fields_found.end(), HintedName(name)) !=
        report.fields_found.end()) {
      continue;
    }
    if (report.fields_found.size() == kMaxHintedFields) {
      report.more_fields_found = true;
      break;
    }
    report.fields_found.push_back(HintedName(name));
  }
  if (values.more_sections) report.more_fields_found = true;
}

std::unique_ptr<FileInspector> InspectorFor(const UploadLimits& limits) {
  static const UploadRules kNoRules;
  const bool watches = limits.rules != nullptr && limits.rules->WatchesData();
  if (!watches && !limits.before_publish) return nullptr;
  return std::make_unique<FileInspector>(limits.rules != nullptr ? *limits.rules : kNoRules, kMaxFileFields);
}

}  // namespace

std::vector<std::string> FileFieldNames() {
  std::vector<std::string> names;
  names.reserve(kMaxFileFields);
  for (int i = 1; i <= kMaxFileFields; ++i) names.push_back("upload" + std::to_string(i));
  return names;
}

UploadStream::UploadStream(const std::string& dir, const std::string& default_conflict, const UploadLimits& limits)
    : default_conflict_(default_conflict),
      client_conflicts_(limits.client_conflicts),
      max_first_line_(limits.max_first_line),
      rules_(limits.rules),
      before_publish_(limits.before_publish),
      inspector_(InspectorFor(limits)),
      stream_(StreamOptions(dir, limits, inspector_.get())) {}

void UploadStream::Feed(std::span<const std::uint8_t> piece) {
  delimiter_check_.Feed(piece);
  stream_.Feed(piece);
}

UploadReport UploadStream::Finish() {
  const FormStreamOutcome values = stream_.FinishValues();
  const FieldOutcome* conflict = Find(values.values, kConflictField);
  const FieldOutcome* comment = Find(values.values, kCommentField);

  const bool over_first_line = std::all_of(values.values.begin(), values.values.end(), [](const FieldOutcome& f) {
    return f.status == FieldStatus::kLimitExceeded;
  });
  // Refusals of the request as a whole: nothing of it is stored.
  UploadReport report;
  report.warning = delimiter_check_.Warning();
  report.client_choices = client_conflicts_;
  if (over_first_line) {
    report.refusal = Refusal{400, "The form's first line is longer than " + std::to_string(max_first_line_) +
                                      " bytes. Send a shorter boundary."};
  } else if (Faulted(conflict)) {
    SetFault(report, conflict->result);
  } else if (conflict != nullptr && conflict->status == FieldStatus::kLimitExceeded) {
    report.refusal =
        Refusal{400, "The conflict field is longer than any policy; allowed: " + ChoicesText(client_conflicts_)};
  } else if (const std::optional<std::string> chosen = ValueOf(conflict); chosen && !chosen->empty()) {
    // The form may choose only among the policies the server allows; an
    // unknown or a disallowed one is refused rather than taken as "error".
    if (std::optional<std::string> refused = RefusedConflictChoice(*chosen, client_conflicts_)) {
      report.refusal = Refusal{400, std::move(*refused)};
    }
  }
  if (report.refusal || report.Faulted()) {
    for (const std::string& field : FileFieldNames()) stream_.Discard(field);
    stream_.Finish();
    report.comment = ValueOf(comment).value_or("");
    return report;
  }

  // Each file field present: its client name checked first. A refused one
  // is discarded, and the others go on.
  for (const std::string& field : FileFieldNames()) {
    const FieldOutcome* client_name = Find(values.values, field);
    if (!IsPresent(field, client_name, values)) continue;
    FileReport file;
    file.field = field;
    const std::optional<std::string> name = ValueOf(client_name);
    file.client_name = name.value_or("");
    if (Faulted(client_name)) {
      SetFault(file, client_name->result);
    } else if (client_name != nullptr && client_name->status == FieldStatus::kLimitExceeded) {
      file.refusal = Refusal{400,
                             "The file name is longer than " + std::to_string(kMaxClientName) +
                                 " bytes. Rename the file and upload it again.",
                             RefusalKind::kPathName};
    } else if (name && !IsAcceptableClientName(*name)) {
      // Browsers send a bare file name (old ones a Windows path). A name made
      // of "/" or dot-dot pieces is an attempt at a path: refuse it outright
      // rather than have it stored under its last piece.
      file.refusal = Refusal{400,
                             "The file name is not a plain file name. Send the file under its own name, "
                             "without folders.",
                             RefusalKind::kPathName};
    } else if (name && StoredPartOfClientName(*name).starts_with('.')) {
      file.refusal = HiddenNameRefusal();
    }
    if (file.refusal || file.Faulted()) stream_.Discard(field);
    report.files.push_back(std::move(file));
  }
  // A form cut short (a Content-Length smaller than the body sent) would
  // store truncated files; an incomplete form stores nothing. A file with a
  // refusal or fault of its own keeps it.
  if (!stream_.FormComplete()) {
    const Refusal incomplete{400,
                             "The form ends before its closing delimiter line: the body is incomplete. Send it "
                             "again.",
                             RefusalKind::kIncomplete};
    for (FileReport& file : report.files) {
      if (file.refusal || file.Faulted()) continue;
      file.refusal = incomplete;
      stream_.Discard(file.field);
    }
    if (report.files.empty()) {
      stream_.Finish();
      report.refusal = incomplete;
      report.comment = ValueOf(comment).value_or("");
      return report;
    }
  }

  std::string policy_text = default_conflict_;
  if (const std::optional<std::string> chosen = ValueOf(conflict); chosen && !chosen->empty()) {
    policy_text = *chosen;  // one of client_conflicts_, checked above
  }
  // The rules, then the pre-publish check: a file either refuses is
  // discarded, the others go on.
  if (inspector_) inspector_->Settle();
  if (rules_ != nullptr) ApplyUploadRules(*rules_, inspector_.get(), report.files);
  RunPrePublishCheck(before_publish_, inspector_.get(), ValueOf(comment).value_or(""), Lowered(policy_text),
                     report.files);
  for (const FileReport& file : report.files) {
    if (file.refusal || file.Faulted()) stream_.Discard(file.field);
  }
  const FormStreamOutcome files = stream_.Finish(ParseConflictPolicy(Lowered(policy_text)));
  for (FileReport& file : report.files) {
    if (file.refusal || file.Faulted()) continue;
    Take(Find(files.files, file.field), file);
    file.conflict = Lowered(policy_text);
    if (HttpStatusOfFile(file) == 200) file.empty = stream_.FileDataBytes(file.field) == std::uint64_t{0};
  }

  if (!report.files.empty()) {
    static_cast<FileReport&>(report) = report.files.front();
  } else {
    // No file field at all: upload1's "not found" outcome, and the hint of
    // what the form holds instead.
    report.field = kFileField;
    Take(Find(files.files, kFileField), report);
    NoteFieldsFound(values, report);
  }
  // The comment is read on its own: a fault there must not hide a stored file.
  report.comment = ValueOf(comment).value_or("");
  return report;
}

void UploadStream::Abort() { stream_.Abort(); }

}  // namespace zimrax::zmfile
