// The MIME type of a file's first bytes, by libmagic (the library behind
// file(1)). It reads hostile bytes: only a bounded prefix is given, and
// the checks a type needs not (compressed files, ELF details, CDF, text
// encodings, ...) are off.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_CONTENT_TYPE_SNIFF_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_CONTENT_TYPE_SNIFF_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zimrax::zmfile {

// The most of a file's start that is looked at.
inline constexpr std::size_t kSniffedPrefix = 64 * 1024;

// "image/png", "text/plain", "application/octet-stream", ...; "" when
// libmagic cannot be used. Each thread opens its own libmagic cookie once.
// REQUIRES: prefix.size() <= kSniffedPrefix.
std::string SniffContentType(std::span<const std::uint8_t> prefix);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_CONTENT_TYPE_SNIFF_H_
