#include "server/upload_report.h"

#include <cerrno>

namespace zimrax::zmfile {

int HttpStatusOfFile(const FileReport& file) {
  if (file.refusal) return file.refusal->status;
  if (file.Faulted()) return 400;
  if (!file.outcome) return 500;
  const std::int32_t code = file.outcome->code;
  if (code == 0) return 200;
  if (code == 106) return 409;
  if (code >= 101 && code <= 105) return 400;
  const int platform_errno = file.outcome->platform_errno;
  if (platform_errno == ENAMETOOLONG) return 400;
  if (platform_errno == ENOSPC || platform_errno == EDQUOT) return 507;
  // Out of descriptors (67): the server is busy, not broken; try again.
  if (platform_errno == EMFILE || platform_errno == ENFILE) return 503;
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
  if (HttpStatusOfFile(file) != 200) return {};
  return file.outcome->text;
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

namespace {

// The file whose status is the request's (see HttpStatusOf).
const FileReport& DecidingFile(const UploadReport& report) {
  for (const FileReport& file : report.files) {
    if (!file.skipped && HttpStatusOfFile(file) != 200) return file;
  }
  return report;
}

}  // namespace

std::string DigestsStoredBy(const UploadReport& report) {
  const auto digest_of = [](const FileReport& file) {
    return file.facts && !NameStoredFor(file).empty() ? file.facts->sha256 : std::string();
  };
  if (report.files.empty()) return digest_of(report);
  std::string digests;
  for (const FileReport& file : report.files) {
    const std::string digest = digest_of(file);
    if (digest.empty()) continue;
    if (!digests.empty()) digests += '/';
    digests += digest;
  }
  return digests;
}

std::string RefusalReason(const UploadReport& report) {
  if (HttpStatusOf(report) == 200) return {};
  const FileReport& file = DecidingFile(report);
  if (file.refusal) return file.refusal->message;
  if (file.Faulted()) {
    return "fault " + std::to_string(static_cast<int>(file.Fault())) + ": " +
           std::string(RuntimeErrorDescription(file.Fault()));
  }
  if (!file.outcome) return "no ErrorCode";
  return "ErrorCode " + std::to_string(file.outcome->code) + ": " + file.outcome->text;
}

}  // namespace zimrax::zmfile
