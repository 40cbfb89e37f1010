// The line zmfile prints under a result code or a fault of save and value:
// which field it looked for, where it stored, and which fields the body has
// when the wanted one is missing. The component's own message stays exactly
// as it is on the line above.
#ifndef ZIMRAX_TOOLS_ZMFILE_ERROR_CONTEXT_H_
#define ZIMRAX_TOOLS_ZMFILE_ERROR_CONTEXT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zimrax::zmfile {

// `text` in double quotes, with control bytes, quotes and backslashes as
// \xNN, cut at `max_bytes` (marked by "...") so one line stays short.
std::string QuotedForMessage(std::string_view text, std::size_t max_bytes = 256);

// "while reading field "F"" or "while storing field "F" into directory "D"",
// followed, for 101 and 102 (the field was not found), by the names of the
// sections the body has (at most 8) or that it has none.
// REQUIRES: `directory` is empty for value.
std::string ErrorContext(bool save, std::string_view field, std::string_view directory, std::int32_t code,
                         const std::vector<std::string>& sections, bool more_sections);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_ERROR_CONTEXT_H_
