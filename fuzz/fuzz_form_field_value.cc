// ZmFormFieldValue on arbitrary bodies and field names.
//
// Input: field name length (1 byte), field name, then the body.
// Legal outcomes: a code of the result table with its exact message, or a
// fault through AutomationError; each must be the one the reference model
// gives. Anything else (another outcome, a crash, a sanitizer report) is a
// finding and aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "outcome_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  zimrax::fuzz::FuzzInput input(bytes, size);
  const std::string name(input.TakeShortText());
  const std::string broken = zimrax::check::FormFieldValue(input.Rest(), name);
  if (!broken.empty()) {
    std::fprintf(stderr, "form_field_value: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}
