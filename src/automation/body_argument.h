// Reading the BinaryFormData argument of a public operation.
#ifndef ZIMRAX_AUTOMATION_BODY_ARGUMENT_H_
#define ZIMRAX_AUTOMATION_BODY_ARGUMENT_H_

#include <cstdint>
#include <span>
#include <vector>

#include "zimrax/automation/variant.h"

namespace zimrax {

// Returns the body's bytes, without copying them. When the caller passed
// one variable as both BinaryFormData and ErrorCode, writing the code
// would free the bytes being read, so they are copied into *copy first.
// Throws AutomationError 13 when BinaryFormData is not a byte array.
inline std::span<const std::uint8_t> BodyBytes(const Variant& BinaryFormData, const Variant& ErrorCode,
                                               std::vector<std::uint8_t>* copy) {
  std::span<const std::uint8_t> body = BinaryFormData.Bytes();
  if (&BinaryFormData != &ErrorCode) return body;
  copy->assign(body.begin(), body.end());
  return *copy;
}

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_BODY_ARGUMENT_H_
