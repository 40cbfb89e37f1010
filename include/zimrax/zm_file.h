// zimrax::ZmFile: the upload component. A host hands it the raw body of a
// multipart/form-data POST; ZmFileSave stores a file field's bytes in a
// directory, ZmFormFieldValue returns a field's value.
//
// Both operations report through ErrorCode (0 on success, see README for the
// table) and their returned Variant (the result, or a message). A fault that
// is not a result code (a wrong argument type, Null, an index outside the
// body, an overflow) throws zimrax::AutomationError; the return value is then
// absent and ErrorCode holds whatever it was last set to.
//
// An object keeps no state between calls. It is apartment threaded: call one
// object from one thread at a time; separate objects may run concurrently.
#ifndef ZIMRAX_ZM_FILE_H_
#define ZIMRAX_ZM_FILE_H_

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "zimrax/dispatch.h"
#include "zimrax/variant.h"

namespace zimrax {

class ZmFile {
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

  // Typed form of ZmFileSave over the same code path.
  Variant ZmFileSave(std::span<const std::uint8_t> BinaryFormData, std::string_view FormFieldName,
                     std::string_view DestinationDir, Variant& ErrorCode,
                     const Variant& NameConflict = Variant::Missing());

  // Returns the value of field FormFieldName; for a file-upload field, the
  // file name the browser sent.
  Variant ZmFormFieldValue(Variant& BinaryFormData, const Variant& FormFieldName,
                           Variant& ErrorCode);

  // Typed form of ZmFormFieldValue over the same code path.
  Variant ZmFormFieldValue(std::span<const std::uint8_t> BinaryFormData,
                           std::string_view FormFieldName, Variant& ErrorCode);

  // Late-bound dispatch. GetIDsOfNames matches names case-insensitively and
  // throws AutomationError 438 for an unknown name. Invoke takes the
  // arguments in declaration order; trailing optional ones may be left off.
  // It throws 438 for an unknown id, 450 for a wrong argument count and 449
  // for a required argument passed as Missing.
  DispId GetIDsOfNames(std::string_view name) const;
  Variant Invoke(DispId id, std::span<DispatchArgument> arguments);

 private:
  // Set to CR LF at the start of every call and used as the pattern of the
  // first line-break search; carries nothing from one call to the next.
  std::array<std::uint8_t, 2> CrLfBytes{};
};

}  // namespace zimrax

#endif  // ZIMRAX_ZM_FILE_H_
