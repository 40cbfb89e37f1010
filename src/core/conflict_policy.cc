#include "zimrax/conflict_policy.h"

namespace zimrax {

ConflictPolicy ParseConflictPolicy(std::string_view lower_case_text) {
  if (lower_case_text == "overwrite") return ConflictPolicy::kOverwrite;
  if (lower_case_text == "makeunique") return ConflictPolicy::kMakeUnique;
  return ConflictPolicy::kError;
}

std::string_view ConflictPolicyName(ConflictPolicy policy) {
  switch (policy) {
    case ConflictPolicy::kOverwrite: return "overwrite";
    case ConflictPolicy::kMakeUnique: return "makeunique";
    case ConflictPolicy::kError: break;
  }
  return "error";
}

}  // namespace zimrax
