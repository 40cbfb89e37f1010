#include "zimrax/automation_error.h"
#include "zimrax/zm_file.h"

namespace zimrax {

Variant ZmFile::ZmFileSave(Variant& BinaryFormData, const Variant& FormFieldName, const Variant& DestinationDir,
                           Variant& ErrorCode, const Variant& NameConflict, const Variant& /*AcceptType*/,
                           const Variant& /*FilePermissionSetting*/, const Variant& /*FileAttributes*/) {
  return ZmFileSave(BinaryFormData.Bytes(), FormFieldName.ToText(), DestinationDir.ToText(), ErrorCode,
                    NameConflict);
}

Variant ZmFile::ZmFileSave(std::span<const std::uint8_t>, std::string_view, std::string_view, Variant&,
                           const Variant&) {
  throw AutomationError(445, "Object doesn't support this action");
}

}  // namespace zimrax
