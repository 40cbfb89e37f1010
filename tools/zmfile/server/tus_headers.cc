#include "server/tus_headers.h"

#include <openssl/evp.h>

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kSha1Length = 20;
constexpr std::size_t kSha256Length = 32;

bool IsBase64Letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<std::uint64_t> ParseUploadNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMaxUploadNumber - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!IsBase64Letter(text[i])) return std::nullopt;
  }
  std::string decoded(text.size() / 4 * 3, '\0');
  if (text.empty()) return decoded;
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes.
  decoded.resize(static_cast<std::size_t>(length) - padding);
  return decoded;
}

std::optional<UploadMetadata> ParseUploadMetadata(std::string_view text) {
  UploadMetadata pairs;
  if (TrimSpaces(text).empty()) return pairs;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view pair = TrimSpaces(text.substr(0, comma));
    const std::size_t space = pair.find(' ');
    const std::string_view key = pair.substr(0, space);
    if (key.empty() || key.find('\t') != std::string_view::npos) return std::nullopt;
    std::string value;
    if (space != std::string_view::npos) {
      std::optional<std::string> decoded = DecodeBase64(pair.substr(space + 1));
      if (!decoded) return std::nullopt;
      value = std::move(*decoded);
    }
    if (!pairs.emplace(std::string(key), std::move(value)).second) return std::nullopt;
    if (comma == std::string_view::npos) return pairs;
    text.remove_prefix(comma + 1);
  }
}

std::optional<UploadChecksum> ParseUploadChecksum(std::string_view text) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  const std::string_view name = text.substr(0, space);
  UploadChecksum checksum;
  std::size_t length = 0;
  if (name == "sha1") {
    checksum.algorithm = ChecksumAlgorithm::kSha1;
    length = kSha1Length;
  } else if (name == "sha256") {
    checksum.algorithm = ChecksumAlgorithm::kSha256;
    length = kSha256Length;
  } else {
    return std::nullopt;
  }
  std::optional<std::string> digest = DecodeBase64(text.substr(space + 1));
  if (!digest || digest->size() != length) return std::nullopt;
  checksum.digest = std::move(*digest);
  return checksum;
}

bool IsSupportedTusResumable(std::string_view text) { return text == kTusVersion; }

}  // namespace zimrax::zmfile
