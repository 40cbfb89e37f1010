#include "server/upload_report.h"

#include <cerrno>

namespace zimrax::zmfile {
namespace {

bool IsNumber(const Variant& value) {
  return value.Type() == VariantType::kInt16 || value.Type() == VariantType::kInt32;
}

}  // namespace

int HttpStatusOfFile(const FileReport& file) {
  if (file.refusal) return file.refusal->status;
  if (file.fault) return 400;
  if (!IsNumber(file.error_code)) return 500;
  const std::int32_t code = file.error_code.ToInt32();
  if (code == 0) return 200;
  if (code == 106) return 409;
  if (code >= 101 && code <= 105) return 400;
  if (file.platform_errno == ENAMETOOLONG) return 400;
  if (file.platform_errno == ENOSPC || file.platform_errno == EDQUOT) return 507;
  return 500;
}

int HttpStatusOf(const UploadReport& report) {
  if (report.files.empty()) return HttpStatusOfFile(report);
  for (const FileReport& file : report.files) {
    if (file.skipped) continue;
    if (const int status = HttpStatusOfFile(file); status != 200) return status;
  }
  return 200;
}

std::string NameStoredFor(const FileReport& file) {
  if (HttpStatusOfFile(file) != 200 || file.result.Type() != VariantType::kString) return {};
  return file.result.ToText();
}

std::string NameStoredBy(const UploadReport& report) {
  if (report.files.empty()) return NameStoredFor(report);
  std::string names;
  for (const FileReport& file : report.files) {
    const std::string name = NameStoredFor(file);
    if (name.empty()) continue;
    if (!names.empty()) names += '/';
    names += name;
  }
  return names;
}

std::string RefusalReason(const UploadReport& report) {
  if (HttpStatusOf(report) == 200) return {};
  if (report.refusal) return report.refusal->message;
  if (report.fault) return "fault " + std::to_string(report.fault->Number()) + ": " + report.fault->Description();
  if (!IsNumber(report.error_code)) return "no ErrorCode";
  const std::string message = report.result.Type() == VariantType::kString ? ": " + report.result.ToText() : "";
  return "ErrorCode " + std::to_string(report.error_code.ToInt32()) + message;
}

}  // namespace zimrax::zmfile
