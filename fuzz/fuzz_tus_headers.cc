// The resumable-upload header parsers on any text. Beyond not crashing,
// each accepted value must satisfy what the parser promises:
//  - a number is its digits, read back the same, within kMaxUploadNumber;
//  - decoded base64 has three bytes per four letters less the padding;
//  - metadata written back out parses to the same pairs;
//  - a checksum's digest has its algorithm's length.
// Any broken promise aborts.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/tus_headers.h"

namespace {

using namespace zimrax::zmfile;

void Require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
  }
}

std::string EncodeBase64(std::string_view bytes) {
  std::string encoded((bytes.size() + 2) / 3 * 4 + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  encoded.resize(static_cast<std::size_t>(n));
  return encoded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);

  if (const auto number = ParseUploadNumber(text)) {
    Require(*number <= kMaxUploadNumber, "number within range");
    const std::size_t first_significant = text.find_first_not_of('0');
    const std::string_view digits = first_significant == std::string_view::npos ? "0" : text.substr(first_significant);
    Require(std::to_string(*number) == digits, "number reads back as its digits");
  }

  if (const auto decoded = DecodeBase64(text)) {
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
    Require(decoded->size() == text.size() / 4 * 3 - padding, "decoded length");
  }

  if (const auto metadata = ParseUploadMetadata(text)) {
    std::string written;
    for (const auto& [key, value] : *metadata) {
      if (!written.empty()) written += ',';
      written += key;
      if (!value.empty()) written += ' ' + EncodeBase64(value);
    }
    Require(ParseUploadMetadata(written) == metadata, "metadata round trip");
  }

  if (const auto checksum = ParseUploadChecksum(text)) {
    Require(checksum->digest.size() == (checksum->algorithm == ChecksumAlgorithm::kSha1 ? 20u : 32u),
            "digest length");
  }
  return 0;
}
