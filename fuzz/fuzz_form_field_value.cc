// ZmFormFieldValue on arbitrary bodies and field names.
//
// Input: field name length (1 byte), field name, then the body.
// Legal outcomes: a code of the result table with its exact message, or a
// fault through AutomationError; each must be the one the reference model
// gives. Anything else (a different outcome, a crash, a sanitizer report)
// is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "multipart_model.h"
#include "zimrax/automation_error.h"
#include "zimrax/result_code.h"
#include "zimrax/zm_file.h"

namespace {

[[noreturn]] void Finding(const char* what, const std::string& detail) {
  std::fprintf(stderr, "form_field_value: %s (%s)\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::string name(input.TakeShortText());
  const std::span<const std::uint8_t> body = input.Rest();

  zimrax::Variant error_code(std::int32_t{-1});
  int fault = zimrax::model::kNoFault;
  std::string value;
  zimrax::ZmFile file;
  try {
    const zimrax::Variant result = file.ZmFormFieldValue(body, name, error_code);
    if (result.Type() != zimrax::VariantType::kString) Finding("result is not a string", "");
    value = result.ToText();
  } catch (const zimrax::AutomationError& error) {
    fault = error.Number();
  }

  const zimrax::model::ScanResult expected =
      zimrax::model::FormFieldValue(std::string(body.begin(), body.end()), name);
  if (fault != expected.fault) {
    Finding("fault differs from the model", std::to_string(fault) + " vs " + std::to_string(expected.fault));
  }
  if (fault != zimrax::model::kNoFault) return 0;
  if (error_code.Type() != zimrax::VariantType::kInt16) Finding("ErrorCode is not a 16-bit integer", "");
  const int code = error_code.ToInt32();
  if (code != expected.code) Finding("code differs from the model", std::to_string(code));
  if (code == 0) {
    if (value != expected.value) Finding("value differs from the model", std::to_string(value.size()));
  } else if (value != zimrax::ResultMessage(static_cast<zimrax::ResultCode>(code),
                                            zimrax::Operation::kFormFieldValue)) {
    Finding("message does not match the code", value);
  }
  return 0;
}
