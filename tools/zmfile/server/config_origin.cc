#include "server/config_origin.h"

namespace zimrax::zmfile {
namespace {

bool IsNameByte(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

}  // namespace

std::string ConfigOriginOf(const ServeOptions& options, std::string_view message) {
  for (std::size_t at = message.find("--"); at != std::string_view::npos; at = message.find("--", at + 2)) {
    std::size_t end = at + 2;
    while (end < message.size() && IsNameByte(message[end])) ++end;
    const auto origin = options.config_origins.find(std::string(message.substr(at, end - at)));
    if (origin != options.config_origins.end()) return origin->second + ": ";
  }
  return "";
}

}  // namespace zimrax::zmfile
