// Standard base64 (RFC 4648, with padding) for bytes that JSON cannot carry
// as text.
#ifndef ZIMRAX_TOOLS_ZMFILE_COMMON_BASE64_H_
#define ZIMRAX_TOOLS_ZMFILE_COMMON_BASE64_H_

#include <string>
#include <string_view>

namespace zimrax::zmfile {

std::string Base64Encode(std::string_view bytes);

// Decodes standard base64 with padding. Returns false, leaving `bytes`
// unspecified, on a character outside the alphabet, a missing or misplaced
// '=', or a length that is not a multiple of 4.
bool Base64Decode(std::string_view text, std::string* bytes);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_COMMON_BASE64_H_
