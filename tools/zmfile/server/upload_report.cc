#include "server/upload_report.h"

#include <cerrno>

namespace zimrax::zmfile {
namespace {

bool IsNumber(const Variant& value) {
  return value.Type() == VariantType::kInt16 || value.Type() == VariantType::kInt32;
}

}  // namespace

int HttpStatusOf(const UploadReport& report) {
  if (report.refusal) return report.refusal->status;
  if (report.fault) return 400;
  if (!IsNumber(report.error_code)) return 500;
  const std::int32_t code = report.error_code.ToInt32();
  if (code == 0) return 200;
  if (code == 106) return 409;
  if (code >= 101 && code <= 105) return 400;
  if (report.platform_errno == ENAMETOOLONG) return 400;
  if (report.platform_errno == ENOSPC || report.platform_errno == EDQUOT) return 507;
  return 500;
}

std::string NameStoredBy(const UploadReport& report) {
  if (HttpStatusOf(report) != 200 || report.result.Type() != VariantType::kString) return {};
  return report.result.ToText();
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
