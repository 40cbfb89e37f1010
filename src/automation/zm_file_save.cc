#include "automation/body_argument.h"
#include "automation/deliver_result.h"
#include "base/ascii_case.h"
#include "core/file_save.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/zm_file.h"

namespace zimrax {
namespace {

// The policy: "error" when the argument was left out, otherwise its text
// form in lower case, nothing trimmed, recognised exactly.
ConflictPolicy PolicyOf(const Variant& NameConflict) {
  if (NameConflict.IsMissing()) return ConflictPolicy::kError;
  return ParseConflictPolicy(ToLowerAscii(NameConflict.ToText()));
}

}  // namespace

Variant ZmFile::ZmFileSave(Variant& BinaryFormData, const Variant& FormFieldName, const Variant& DestinationDir,
                           Variant& ErrorCode, const Variant& NameConflict, const Variant& /*AcceptType*/,
                           const Variant& /*FilePermissionSetting*/, const Variant& /*FileAttributes*/) {
  // Conversions that fault before the search leave ErrorCode untouched; they
  // run in the order policy, name, body. The directory is only used once the
  // file name is known, so a fault of its conversion surfaces there.
  const ConflictPolicy policy = PolicyOf(NameConflict);
  const std::string name = FormFieldName.ToText();
  std::vector<std::uint8_t> body_copy;
  const std::span<const std::uint8_t> body = BodyBytes(BinaryFormData, ErrorCode, &body_copy);
  std::string directory;
  DirectoryArgument directory_argument;
  try {
    directory = DestinationDir.ToText();
    directory_argument.text = directory;
  } catch (const AutomationError& fault) {
    directory_argument.fault = static_cast<RuntimeError>(fault.Number());
  }
  CrLfBytes = {13, 10};
  ErrorCode = Variant(std::int16_t{0});
  return Deliver(FileSaveTo(body, name, directory_argument, policy), ErrorCode);
}

}  // namespace zimrax
