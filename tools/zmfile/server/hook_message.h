// A hook's own words, fit to go back to the client and into the log.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_MESSAGE_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_MESSAGE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

// The longest message a hook may give, in bytes.
inline constexpr std::size_t kMaxHookMessage = 200;

// The first line of `output` (up to the first CR or LF), blanks trimmed,
// at most kMaxHookMessage bytes (cut before a UTF-8 sequence it would
// split), with control bytes, DEL and bytes that are not UTF-8 shown as "?".
std::string HookMessage(std::string_view output);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_HOOK_MESSAGE_H_
