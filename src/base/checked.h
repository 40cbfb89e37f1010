// Checked<T>: a value, or the runtime error that prevented it. The no-throw
// layers return it instead of throwing.
#ifndef ZIMRAX_BASE_CHECKED_H_
#define ZIMRAX_BASE_CHECKED_H_

#include "base/position.h"
#include "zimrax/runtime_error.h"

namespace zimrax {

template <typename T>
struct Checked {
  T value{};
  RuntimeError error = RuntimeError::kNone;

  bool ok() const { return error == RuntimeError::kNone; }
  static Checked Fail(RuntimeError e) { return Checked{T{}, e}; }
};

}  // namespace zimrax

#endif  // ZIMRAX_BASE_CHECKED_H_
