// The request headers of the tus 1.0.0 resumable-upload protocol, parsed as
// pure functions of their text. Each parser either gives the value or tells
// that the header is malformed; the handler answers 400 naming the header.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_TUS_HEADERS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_TUS_HEADERS_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zimrax::zmfile {

// The one protocol version this server speaks.
inline constexpr std::string_view kTusVersion = "1.0.0";

// The largest Upload-Length or Upload-Offset taken: what a file offset holds.
inline constexpr std::uint64_t kMaxUploadNumber = 0x7fffffffffffffffULL;

// Upload-Length, Upload-Offset: one or more decimal digits and nothing else
// (no sign, no space), at most kMaxUploadNumber.
std::optional<std::uint64_t> ParseUploadNumber(std::string_view text);

// Strict base64 (RFC 4648 alphabet, padded to a multiple of four, no
// whitespace); nullopt for anything else.
std::optional<std::string> DecodeBase64(std::string_view text);

// Upload-Metadata: comma-separated pairs "key base64value", or "key" alone
// for an empty value. Keys are non-empty, hold no space or comma, and are
// unique; spaces around a pair are ignored. nullopt when malformed.
using UploadMetadata = std::map<std::string, std::string, std::less<>>;
std::optional<UploadMetadata> ParseUploadMetadata(std::string_view text);

enum class ChecksumAlgorithm { kSha1, kSha256 };

struct UploadChecksum {
  ChecksumAlgorithm algorithm = ChecksumAlgorithm::kSha1;
  std::string digest;  // the raw digest bytes: 20 for sha1, 32 for sha256
};

// Upload-Checksum: "sha1 <base64>" or "sha256 <base64>" whose digest has the
// algorithm's length. nullopt for another algorithm or a malformed value.
std::optional<UploadChecksum> ParseUploadChecksum(std::string_view text);

// Tus-Resumable: true only for exactly kTusVersion.
bool IsSupportedTusResumable(std::string_view text);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_TUS_HEADERS_H_
