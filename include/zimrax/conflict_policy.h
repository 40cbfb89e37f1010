// What a save does when the file name is already taken in the directory.
#ifndef ZIMRAX_CONFLICT_POLICY_H_
#define ZIMRAX_CONFLICT_POLICY_H_

#include <string_view>

#include "zimrax/export.h"

namespace zimrax {

enum class ConflictPolicy {
  kError,       // an existing entry is never replaced: 106
  kOverwrite,   // an existing entry is replaced atomically
  kMakeUnique,  // the first free name(n).ext is used
};

// "overwrite" and "makeunique", exactly; every other text, "error"
// included, is kError. Callers that accept any case lower-case it first.
ZIMRAX_EXPORT ConflictPolicy ParseConflictPolicy(std::string_view lower_case_text);

// "error", "overwrite" or "makeunique".
ZIMRAX_EXPORT std::string_view ConflictPolicyName(ConflictPolicy policy);

}  // namespace zimrax

#endif  // ZIMRAX_CONFLICT_POLICY_H_
