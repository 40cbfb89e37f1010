#include "server/uploader.h"

#include <memory>

#include "server/file_name_rules.h"
#include "zimrax/automation/class_registry.h"

namespace zimrax::zmfile {
namespace {

// The value of a form field, or nullopt when the component reports a code.
std::optional<std::string> FieldValue(ZmFile& file, Variant& form_data, const char* name) {
  Variant code;
  const Variant value = file.ZmFormFieldValue(form_data, Variant(name), code);
  if (code.ToInt32() != 0) return std::nullopt;
  return value.ToText();
}

}  // namespace

Uploader::Uploader(std::string dir, std::string default_conflict, bool durable)
    : dir_(std::move(dir)), default_conflict_(std::move(default_conflict)), durable_(durable) {}

UploadReport Uploader::Run(std::span<const std::uint8_t> body) const {
  UploadReport report;
  std::unique_ptr<ZmFile> file;
  Variant form_data = Variant::BorrowBytes(body);
  try {
    file = CreateObject(kProgIdZmFile);
    file->SetSaveOptions(SaveOptions{.durable = durable_});
    std::string policy = default_conflict_;
    if (std::optional<std::string> chosen = FieldValue(*file, form_data, kConflictField); chosen && !chosen->empty()) {
      policy = *chosen;
    }
    // Browsers send a bare file name (old ones a Windows path). A name made
    // of "/" or dot-dot pieces is an attempt at a path: refuse it outright
    // rather than have it stored under its last piece.
    if (std::optional<std::string> client_name = FieldValue(*file, form_data, kFileField);
        client_name && !IsAcceptableClientName(*client_name)) {
      report.refusal = Refusal{400, "The file name is not a plain file name."};
    } else {
      report.result =
          file->ZmFileSave(form_data, Variant(kFileField), Variant(dir_), report.error_code, Variant(policy));
    }
  } catch (const AutomationError& fault) {
    report.fault = fault;
    report.error_code = Variant();
    report.result = Variant();
  }
  if (file == nullptr) return report;
  // The comment is read on its own: a fault here must not hide a stored file.
  try {
    report.comment = FieldValue(*file, form_data, kCommentField).value_or("");
  } catch (const AutomationError&) {
    report.comment.clear();
  }
  return report;
}

}  // namespace zimrax::zmfile
