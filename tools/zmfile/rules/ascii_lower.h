// ASCII lower case, for the names of types and extensions: libmagic, the
// mime.types table and the options all spell them in ASCII.
#ifndef ZIMRAX_TOOLS_ZMFILE_RULES_ASCII_LOWER_H_
#define ZIMRAX_TOOLS_ZMFILE_RULES_ASCII_LOWER_H_

#include <string>
#include <string_view>

namespace zimrax::zmfile {

inline std::string AsciiLower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RULES_ASCII_LOWER_H_
