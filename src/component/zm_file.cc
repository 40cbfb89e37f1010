#include "zimrax/zm_file.h"

#include "component/form_field_value.h"
#include "component/module_state.h"
#include "scanner/byte_runs.h"

namespace zimrax {

ZmFile::ZmFile() { AddLiveObject(); }

ZmFile::~ZmFile() { ReleaseLiveObject(); }

Variant ZmFile::ZmFormFieldValue(Variant& BinaryFormData, const Variant& FormFieldName, Variant& ErrorCode) {
  // Argument conversions come first: a fault here leaves ErrorCode untouched.
  const std::span<const std::uint8_t> body = BinaryFormData.Bytes();
  const std::string name = FormFieldName.ToText();
  return ZmFormFieldValue(body, name, ErrorCode);
}

Variant ZmFile::ZmFormFieldValue(std::span<const std::uint8_t> BinaryFormData, std::string_view FormFieldName,
                                 Variant& ErrorCode) {
  CrLfBytes = {13, 10};
  ErrorCode = Variant(std::int16_t{0});
  return Deliver(FormFieldValue(BinaryFormData, StringToBytes(FormFieldName), CrLfBytes), ErrorCode);
}

}  // namespace zimrax
