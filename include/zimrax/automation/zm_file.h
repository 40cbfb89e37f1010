// zimrax::ZmFile: the upload component as an automation object, the way a
// page script reaches it by ProgID and DISPID. It is a thin adapter over the
// typed API (zimrax/form_data.h): ZmFileSave stores a file field's bytes in
// a directory, ZmFormFieldValue returns a field's value.
//
// Both operations report through ErrorCode (0 on success, or a code of
// zimrax/result_code.h or zimrax/runtime_error.h) and their returned Variant
// (the result, or the code's message). A fault that
// is not a result code (a wrong argument type, Null, an index outside the
// body, an overflow) throws zimrax::AutomationError; the return value is then
// absent and ErrorCode holds whatever it was last set to.
//
// An object keeps no state between calls and has no settings; a host that
// wants durable saves uses the typed API's SaveOptions. It is apartment
// threaded: call one object from one thread at a time; separate objects may
// run concurrently.
#ifndef ZIMRAX_AUTOMATION_ZM_FILE_H_
#define ZIMRAX_AUTOMATION_ZM_FILE_H_

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "zimrax/automation/dispatch.h"
#include "zimrax/automation/variant.h"
#include "zimrax/export.h"

namespace zimrax {

class ZIMRAX_EXPORT ZmFile {
 public:
  ZmFile();
  ~ZmFile();
  ZmFile(const ZmFile&) = delete;
  ZmFile& operator=(const ZmFile&) = delete;

  // Stores the file of the file-upload field FormFieldName into
  // DestinationDir and returns the stored name. NameConflict is "error"
  // (the default when Missing), "overwrite" or "makeunique", in any case.
  // AcceptType, FilePermissionSetting and FileAttributes are accepted and
  // have no effect.
  Variant ZmFileSave(Variant& BinaryFormData, const Variant& FormFieldName,
                     const Variant& DestinationDir, Variant& ErrorCode,
                     const Variant& NameConflict = Variant::Missing(),
                     const Variant& AcceptType = Variant::Missing(),
                     const Variant& FilePermissionSetting = Variant::Missing(),
                     const Variant& FileAttributes = Variant::Missing());

  // Returns the value of field FormFieldName; for a file-upload field, the
  // file name the browser sent.
  Variant ZmFormFieldValue(Variant& BinaryFormData, const Variant& FormFieldName,
                           Variant& ErrorCode);

  // Late-bound dispatch. GetIDsOfNames matches names case-insensitively and
  // throws AutomationError 438 for an unknown name. Invoke takes the
  // arguments in declaration order; trailing optional ones may be left off.
  // It throws 438 for an unknown id, 450 for a wrong argument count and 449
  // for a required argument passed as Missing.
  DispId GetIDsOfNames(std::string_view name) const;
  Variant Invoke(DispId id, std::span<DispatchArgument> arguments);

 private:
  // Set to CR LF at the start of every call, as the object's one member;
  // the core finds the first line break with its own pattern, so this
  // carries nothing from one call to the next.
  std::array<std::uint8_t, 2> CrLfBytes{};
};

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_ZM_FILE_H_
