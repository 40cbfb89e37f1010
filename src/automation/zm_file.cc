#include "zimrax/automation/zm_file.h"

#include <vector>

#include "automation/body_argument.h"
#include "automation/deliver_result.h"
#include "automation/module_state.h"
#include "zimrax/form_data.h"

namespace zimrax {

ZmFile::ZmFile() { AddLiveObject(); }

ZmFile::~ZmFile() { ReleaseLiveObject(); }

Variant ZmFile::ZmFormFieldValue(Variant& BinaryFormData, const Variant& FormFieldName, Variant& ErrorCode) {
  // Argument conversions come first, the name before the body: a fault here
  // leaves ErrorCode untouched.
  const std::string name = FormFieldName.ToText();
  std::vector<std::uint8_t> body_copy;
  const std::span<const std::uint8_t> body = BodyBytes(BinaryFormData, ErrorCode, &body_copy);
  CrLfBytes = {13, 10};
  ErrorCode = Variant(std::int16_t{0});
  return Deliver(FormFieldValue(body, name), ErrorCode);
}

}  // namespace zimrax
