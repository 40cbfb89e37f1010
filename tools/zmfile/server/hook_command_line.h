// A command hook's text, split once into its argv: no shell runs it.
//
// The rule: words are separated by spaces and tabs. Single quotes keep
// what they enclose as it is; double quotes do too, except that a backslash
// before " or before a backslash stands for that character. Outside quotes a
// backslash keeps the next character as it is. Quotes join with the text
// around them ('a'b is ab).
// Nothing else is special: no variables, globs, pipes or redirections.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COMMAND_LINE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COMMAND_LINE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

// The argv of `text`, or nullopt with the reason in *why: no word, an
// unclosed quote, a backslash at the end, or a NUL byte.
std::optional<std::vector<std::string>> SplitHookCommand(std::string_view text, std::string* why);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_COMMAND_LINE_H_
