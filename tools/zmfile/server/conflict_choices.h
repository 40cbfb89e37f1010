// The name-conflict policies a client's form may choose (--client-conflict):
// a ceiling on what a page or script can ask for, so that "overwrite" is
// available only where the operator allows it.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONFLICT_CHOICES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONFLICT_CHOICES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

inline constexpr const char* kDefaultClientConflict = "error,makeunique";

// Parses a comma-separated list of error, overwrite and makeunique (any
// case, blanks around names allowed). Returns the policies in the order
// error, overwrite, makeunique, each once; nullopt with the reason in *why
// for an unknown name or an empty list.
std::optional<std::vector<std::string>> ParseConflictChoices(std::string_view text, std::string* why);

// "error, makeunique": the choices for a message.
std::string ChoicesText(const std::vector<std::string>& choices);

// Returns why the form's conflict value `chosen` (as sent) must be refused,
// or nullopt when it is one of `allowed` (compared in lower case).
std::optional<std::string> RefusedConflictChoice(const std::string& chosen, const std::vector<std::string>& allowed);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONFLICT_CHOICES_H_
