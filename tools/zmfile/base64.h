// Standard base64 (RFC 4648, with padding) for bytes that JSON cannot carry
// as text.
#ifndef ZIMRAX_TOOLS_ZMFILE_BASE64_H_
#define ZIMRAX_TOOLS_ZMFILE_BASE64_H_

#include <string>
#include <string_view>

namespace zimrax::zmfile {

std::string Base64Encode(std::string_view bytes);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_BASE64_H_
