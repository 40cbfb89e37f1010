// The automation error channel: a fault that ends a public call carries the
// runtime error number and its description. Thrown only by the outer layer
// (Variant, ZmFile and dispatch); the scanner and storage never throw.
#ifndef ZIMRAX_AUTOMATION_AUTOMATION_ERROR_H_
#define ZIMRAX_AUTOMATION_AUTOMATION_ERROR_H_

#include <cstdint>
#include <stdexcept>
#include <string>

#include "zimrax/export.h"
#include "zimrax/runtime_error.h"

namespace zimrax {

class ZIMRAX_EXPORT AutomationError : public std::runtime_error {
 public:
  // Uses the standard description of `error`.
  explicit AutomationError(RuntimeError error);
  AutomationError(std::int32_t number, const std::string& description);

  std::int32_t Number() const noexcept { return number_; }
  std::string Description() const { return what(); }

 private:
  std::int32_t number_;
};

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_AUTOMATION_ERROR_H_
