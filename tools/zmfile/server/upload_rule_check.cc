#include "server/upload_rule_check.h"

#include <exception>

#include "server/file_name_rules.h"
#include "type_rules.h"

namespace zimrax::zmfile {
namespace {

constexpr const char* kFieldPrefix = "upload";

bool Pending(const FileReport& file) { return !file.refusal && !file.Faulted(); }

// A size in the units the options take: "1048576 bytes (1M)".
std::string SizeText(std::uint64_t bytes) {
  std::string text = std::to_string(bytes) + " bytes";
  if (bytes >= 1024 && bytes % 1024 == 0) {
    const char* units[] = {"K", "M", "G", "T"};
    std::uint64_t amount = bytes / 1024;
    int unit = 0;
    while (unit < 3 && amount >= 1024 && amount % 1024 == 0) {
      amount /= 1024;
      ++unit;
    }
    text += " (" + std::to_string(amount) + units[unit] + ")";
  }
  return text;
}

Refusal TooLarge(std::uint64_t limit) {
  return Refusal{413, "The file is larger than this server takes per file, " + SizeText(limit) + ". It was not stored.",
                 RefusalKind::kFileTooLarge};
}

Refusal TooMany(std::size_t limit) {
  return Refusal{413,
                 "The form holds more files than this server takes from one form, " + std::to_string(limit) +
                     ". This one was not stored; send it in another upload.",
                 RefusalKind::kTooManyFiles};
}

}  // namespace

std::size_t FileFieldIndex(const std::string& field) {
  return static_cast<std::size_t>(std::stoul(field.substr(std::string(kFieldPrefix).size())) - 1);
}

void ApplyUploadRules(const UploadRules& rules, const FileInspector* inspector, std::vector<FileReport>& files) {
  if (inspector == nullptr) return;
  std::size_t kept = 0;
  for (FileReport& file : files) {
    if (!Pending(file)) continue;
    const FileInspector::Seen& seen = inspector->Field(FileFieldIndex(file.field));
    if (seen.too_large) {
      file.refusal = TooLarge(rules.max_file_size);
      continue;
    }
    if (seen.type_refusal) {
      file.refusal = Refusal{415, *seen.type_refusal, RefusalKind::kFileType};
      continue;
    }
    if (!seen.started) continue;
    if (!rules.types.empty()) {
      const std::string extension = ExtensionOf(StoredPartOfClientName(file.client_name));
      if (std::optional<std::string> why = TypeRefusal(rules.types, extension, seen.mime_type)) {
        file.refusal = Refusal{415, std::move(*why), RefusalKind::kFileType};
        continue;
      }
    }
    if (rules.max_files > 0 && ++kept > rules.max_files) file.refusal = TooMany(rules.max_files);
  }
}

void RunPrePublishCheck(const PrePublishCheck& check, const FileInspector* inspector, const std::string& comment,
                        const std::string& conflict, std::vector<FileReport>& files) {
  PrePublish upload;
  upload.comment = comment;
  upload.conflict = conflict;
  std::vector<FileReport*> checked;
  for (FileReport& file : files) {
    if (!Pending(file)) continue;
    FileFacts facts;
    facts.field = file.field;
    facts.client_name = file.client_name;
    facts.stored_name = StoredPartOfClientName(file.client_name);
    if (inspector != nullptr) {
      const FileInspector::Seen& seen = inspector->Field(FileFieldIndex(file.field));
      facts.size = seen.size;
      facts.mime_type = seen.mime_type;
      facts.sha256 = seen.sha256;
    }
    file.facts = facts;
    upload.files.push_back(std::move(facts));
    checked.push_back(&file);
  }
  if (!check || upload.files.empty()) return;
  try {
    check(upload);
  } catch (const std::exception& fault) {
    for (FileReport* file : checked) {
      file->refusal = Refusal{500, std::string("Internal error: ") + fault.what(), RefusalKind::kInternal};
    }
    return;
  }
  for (std::size_t i = 0; i < checked.size() && i < upload.files.size(); ++i) {
    if (upload.files[i].refusal) checked[i]->refusal = std::move(upload.files[i].refusal);
  }
}

}  // namespace zimrax::zmfile
