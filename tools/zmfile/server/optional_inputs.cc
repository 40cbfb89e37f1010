#include "server/optional_inputs.h"

#include <algorithm>

namespace zimrax::zmfile {
namespace {

constexpr std::int32_t kBadFileName = 104;

bool IsBadFileName(const FileReport& file) {
  return file.HasCode() && file.outcome->code == kBadFileName;
}

}  // namespace

void ApplyOptionalInputs(UploadReport& report, const std::function<bool(const FileReport&)>& sent_unchosen) {
  for (FileReport& file : report.files) file.unchosen = IsBadFileName(file) && sent_unchosen(file);
  const auto chosen =
      std::find_if(report.files.begin(), report.files.end(), [](const FileReport& f) { return !f.unchosen; });
  if (chosen == report.files.end()) {
    if (!report.files.empty()) static_cast<FileReport&>(report) = report.files.front();
    return;
  }
  for (FileReport& file : report.files) file.skipped = file.unchosen;
  static_cast<FileReport&>(report) = *chosen;
}

}  // namespace zimrax::zmfile
