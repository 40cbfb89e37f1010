#include "server/basic_credentials.h"

#include "base64.h"
#include "server/ascii_text.h"

namespace zimrax::zmfile {
namespace {

bool IsBasicScheme(std::string_view word) {
  constexpr std::string_view kBasic = "basic";
  if (word.size() != kBasic.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if ((word[i] | 0x20) != kBasic[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header) {
  header = Trimmed(header);
  const std::size_t space = header.find_first_of(" \t");
  if (space == std::string_view::npos || !IsBasicScheme(header.substr(0, space))) return std::nullopt;
  std::string decoded;
  if (!Base64Decode(Trimmed(header.substr(space)), &decoded)) return std::nullopt;
  const std::size_t colon = decoded.find(':');
  if (colon == std::string::npos || decoded.find('\0') != std::string::npos) return std::nullopt;
  return BasicCredentials{decoded.substr(0, colon), decoded.substr(colon + 1)};
}

}  // namespace zimrax::zmfile
