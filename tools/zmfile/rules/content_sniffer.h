// The MIME type of a file's first bytes, as libmagic (the library behind
// file(1)) reads them. The bytes are the client's, so libmagic runs with
// only the checks a type needs: no decompression, no ELF, CDF or tar
// walks, and never past kMaxSniffBytes.
#ifndef ZIMRAX_TOOLS_ZMFILE_RULES_CONTENT_SNIFFER_H_
#define ZIMRAX_TOOLS_ZMFILE_RULES_CONTENT_SNIFFER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace zimrax::zmfile {

// The most bytes of a file that libmagic is given.
inline constexpr std::size_t kMaxSniffBytes = 64 * 1024;

// The type libmagic gives `prefix` (only its first kMaxSniffBytes are
// read): "image/png", "text/plain", "application/x-empty" for no bytes,
// "application/octet-stream" when no rule matches. "" when libmagic could
// not be set up or failed. Thread-safe: the calls share a few libmagic
// cookies, at most one per core, and a call waits while all are in use.
// Never throws.
std::string SniffMimeType(std::span<const std::uint8_t> prefix) noexcept;

// True when libmagic and its database load: for a check at
// start-up, so that a broken install stops the server rather than refuse
// every file. On false, *why says what failed.
bool ContentSnifferWorks(std::string* why);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_RULES_CONTENT_SNIFFER_H_
