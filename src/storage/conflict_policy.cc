#include "storage/conflict_policy.h"

namespace zimrax {

ConflictPolicy ParseConflictPolicy(std::string_view lower_case_text) {
  if (lower_case_text == "overwrite") return ConflictPolicy::kOverwrite;
  if (lower_case_text == "makeunique") return ConflictPolicy::kMakeUnique;
  return ConflictPolicy::kError;
}

}  // namespace zimrax
