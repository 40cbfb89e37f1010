// The name-conflict policy of a save.
#ifndef ZIMRAX_STORAGE_CONFLICT_POLICY_H_
#define ZIMRAX_STORAGE_CONFLICT_POLICY_H_

#include <string_view>

namespace zimrax {

enum class ConflictPolicy {
  kError,       // an existing file is never replaced: 106
  kOverwrite,   // an existing file is replaced atomically
  kMakeUnique,  // the first free name(n).ext is used
};

// Recognises the lower-cased policy text exactly: "overwrite" and
// "makeunique"; every other text, "error" included, is kError.
ConflictPolicy ParseConflictPolicy(std::string_view lower_case_text);

}  // namespace zimrax

#endif  // ZIMRAX_STORAGE_CONFLICT_POLICY_H_
