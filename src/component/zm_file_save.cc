#include "component/ascii_case.h"
#include "component/body_argument.h"
#include "component/file_save.h"
#include "scanner/byte_runs.h"
#include "zimrax/automation_error.h"
#include "zimrax/zm_file.h"

namespace zimrax {
namespace {

// The policy text: "error" when the argument was left out, otherwise its
// text form in lower case, nothing trimmed.
std::string PolicyText(const Variant& NameConflict) {
  if (NameConflict.IsMissing()) return "error";
  return ToLowerAscii(NameConflict.ToText());
}

}  // namespace

Variant ZmFile::ZmFileSave(Variant& BinaryFormData, const Variant& FormFieldName, const Variant& DestinationDir,
                           Variant& ErrorCode, const Variant& NameConflict, const Variant& /*AcceptType*/,
                           const Variant& /*FilePermissionSetting*/, const Variant& /*FileAttributes*/) {
  // Conversions that fault before the search leave ErrorCode untouched; they
  // run in the order policy, name, body. The directory is only used once the file name is known, so a fault of its
  // conversion surfaces there.
  const std::string policy = PolicyText(NameConflict);
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
  return Deliver(FileSave(body, StringToBytes(name), directory_argument, ParseConflictPolicy(policy), CrLfBytes),
                 ErrorCode);
}

Variant ZmFile::ZmFileSave(std::span<const std::uint8_t> BinaryFormData, std::string_view FormFieldName,
                           std::string_view DestinationDir, Variant& ErrorCode, const Variant& NameConflict) {
  const std::string policy = PolicyText(NameConflict);
  CrLfBytes = {13, 10};
  ErrorCode = Variant(std::int16_t{0});
  return Deliver(FileSave(BinaryFormData, StringToBytes(FormFieldName), DirectoryArgument{DestinationDir},
                          ParseConflictPolicy(policy), CrLfBytes),
                 ErrorCode);
}

}  // namespace zimrax
