#include <algorithm>

#include "base/ascii_case.h"
#include "zimrax/automation/automation_error.h"
#include "zimrax/automation/zm_file.h"

namespace zimrax {
namespace {

struct MethodDescription {
  std::string_view name;
  DispId id;
  std::size_t required;  // leading arguments that must be present
  std::size_t total;     // required and optional
};

constexpr MethodDescription kMethods[] = {
    {"ZmFileSave", kDispIdZmFileSave, 4, 8},
    {"ZmFormFieldValue", kDispIdZmFormFieldValue, 3, 3},
};

const MethodDescription& FindMethod(DispId id) {
  for (const MethodDescription& method : kMethods) {
    if (method.id == id) return method;
  }
  throw AutomationError(RuntimeError::kObjectDoesNotSupportMethod);
}

}  // namespace

DispId ZmFile::GetIDsOfNames(std::string_view name) const {
  for (const MethodDescription& method : kMethods) {
    if (EqualsIgnoringAsciiCase(method.name, name)) return method.id;
  }
  throw AutomationError(RuntimeError::kObjectDoesNotSupportMethod);
}

Variant ZmFile::Invoke(DispId id, std::span<DispatchArgument> arguments) {
  const MethodDescription& method = FindMethod(id);
  if (arguments.size() < method.required || arguments.size() > method.total) {
    throw AutomationError(RuntimeError::kWrongNumberOfArguments);
  }
  for (std::size_t i = 0; i < method.required; ++i) {
    if (arguments[i].Get().IsMissing()) throw AutomationError(RuntimeError::kArgumentNotOptional);
  }
  // Optional arguments left off the end arrive as the omitted marker.
  Variant omitted[8] = {Variant::Missing(), Variant::Missing(), Variant::Missing(), Variant::Missing(),
                        Variant::Missing(), Variant::Missing(), Variant::Missing(), Variant::Missing()};
  auto argument = [&](std::size_t i) -> Variant& { return i < arguments.size() ? arguments[i].Get() : omitted[i]; };

  if (id == kDispIdZmFileSave) {
    return ZmFileSave(argument(0), argument(1), argument(2), argument(3), argument(4), argument(5), argument(6),
                      argument(7));
  }
  return ZmFormFieldValue(argument(0), argument(1), argument(2));
}

}  // namespace zimrax
