// Late-bound dispatch: method ids and the argument form that ZmFile::Invoke
// takes. An argument is passed by value (the callee gets its own copy) or by
// reference (the callee reads and writes the caller's Variant).
#ifndef ZIMRAX_AUTOMATION_DISPATCH_H_
#define ZIMRAX_AUTOMATION_DISPATCH_H_

#include <cstdint>

#include "zimrax/automation/variant.h"
#include "zimrax/export.h"

namespace zimrax {

using DispId = std::int32_t;

inline constexpr DispId kDispIdZmFileSave = 0x60030000;
inline constexpr DispId kDispIdZmFormFieldValue = 0x60030001;

class ZIMRAX_EXPORT DispatchArgument {
 public:
  static DispatchArgument ByValue(Variant value) { return DispatchArgument(std::move(value), nullptr); }
  // REQUIRES: `target` outlives the Invoke call.
  static DispatchArgument ByRef(Variant& target) { return DispatchArgument(&target); }
  static DispatchArgument Omitted() { return ByValue(Variant::Missing()); }

  bool IsByRef() const { return target_ != nullptr; }
  // The Variant the callee works on: the caller's for ByRef, the copy otherwise.
  Variant& Get() { return target_ != nullptr ? *target_ : value_; }

 private:
  DispatchArgument(Variant value, Variant* target) : value_(std::move(value)), target_(target) {}
  // By reference: the own copy stays Empty and is never used.
  explicit DispatchArgument(Variant* target) : target_(target) {}

  Variant value_;
  Variant* target_;
};

}  // namespace zimrax

#endif  // ZIMRAX_AUTOMATION_DISPATCH_H_
