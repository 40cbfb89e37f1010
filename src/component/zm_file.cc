#include "zimrax/zm_file.h"

#include <vector>

#include "component/body_argument.h"
#include "component/form_field_value.h"
#include "component/module_state.h"
#include "scanner/byte_runs.h"

namespace zimrax {

ZmFile::ZmFile() { AddLiveObject(); }

ZmFile::~ZmFile() { ReleaseLiveObject(); }

Variant ZmFile::ZmFormFieldValue(Variant& BinaryFormData, const Variant& FormFieldName, Variant& ErrorCode) {
  // Argument conversions come first, the name before the body: a fault here
  // leaves ErrorCode untouched.
  const std::string name = FormFieldName.ToText();
  std::vector<std::uint8_t> body_copy;
  const std::span<const std::uint8_t> body = BodyBytes(BinaryFormData, ErrorCode, &body_copy);
  return ZmFormFieldValue(body, name, ErrorCode);
}

Variant ZmFile::ZmFormFieldValue(std::span<const std::uint8_t> BinaryFormData, std::string_view FormFieldName,
                                 Variant& ErrorCode) {
  CrLfBytes = {13, 10};
  ErrorCode = Variant(std::int16_t{0});
  return Deliver(FormFieldValue(BinaryFormData, StringToBytes(FormFieldName), CrLfBytes), ErrorCode);
}

}  // namespace zimrax
