#include "server/hook_message.h"

namespace zimrax::zmfile {
namespace {

// The length of the UTF-8 sequence that starts at `at`, or 0 when none
// does (a stray continuation byte, an overlong or a cut sequence).
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf)
    length = 2;
  else if (lead >= 0xe0 && lead <= 0xef)
    length = 3;
  else if (lead >= 0xf0 && lead <= 0xf4)
    length = 4;
  else
    return 0;
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xc0) != 0x80) return 0;
  }
  // Overlong three- and four-byte forms, surrogates, past U+10FFFF.
  if (lead == 0xe0 && byte(at + 1) < 0xa0) return 0;
  if (lead == 0xed && byte(at + 1) > 0x9f) return 0;
  if (lead == 0xf0 && byte(at + 1) < 0x90) return 0;
  if (lead == 0xf4 && byte(at + 1) > 0x8f) return 0;
  return length;
}

}  // namespace

std::string HookMessage(std::string_view output) {
  std::string_view line = output.substr(0, output.find_first_of("\r\n"));
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  std::string message;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t length = Utf8Length(line, at);
    const std::size_t taken = length == 0 ? 1 : length;
    if (message.size() + taken > kMaxHookMessage) break;
    const unsigned char c = static_cast<unsigned char>(line[at]);
    if (length == 0 || (length == 1 && (c < 0x20 || c == 0x7f))) {
      message += '?';
    } else {
      message.append(line.substr(at, length));
    }
    at += taken;
  }
  return message;
}

}  // namespace zimrax::zmfile
