// Small text helpers for header values and form fields, ASCII only: what
// HTTP compares case-insensitively and the blanks it allows around a value.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_ASCII_TEXT_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_ASCII_TEXT_H_

#include <string>
#include <string_view>

namespace zimrax::zmfile {

// `text` with A-Z as a-z; other bytes as they are.
std::string Lowered(std::string_view text);

// `text` without the spaces and tabs at either end; a view into `text`.
std::string_view Trimmed(std::string_view text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_ASCII_TEXT_H_
