#include "server/staged_file_facts.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "content_sniffer.h"
#include "sha256_digest.h"

namespace zimrax::zmfile {

FileFacts StagedFileFacts(int fd, std::uint64_t size) {
  FileFacts facts;
  facts.size = size;
  Sha256Digest digest;
  std::vector<std::uint8_t> buffer(256 * 1024);
  std::vector<std::uint8_t> prefix;
  std::uint64_t at = 0;
  while (at < size) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
    const ssize_t n = ::pread(fd, buffer.data(), want, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return facts;  // a short or failed read: no digest rather than a wrong one
    const std::span<const std::uint8_t> piece(buffer.data(), static_cast<std::size_t>(n));
    digest.Update(piece);
    if (prefix.size() < kMaxSniffBytes) {
      prefix.insert(
          prefix.end(), piece.begin(),
          piece.begin() + static_cast<std::ptrdiff_t>(std::min(piece.size(), kMaxSniffBytes - prefix.size())));
    }
    at += static_cast<std::uint64_t>(n);
  }
  facts.sha256 = digest.FinishHex();
  facts.mime_type = SniffMimeType(prefix);
  return facts;
}

}  // namespace zimrax::zmfile
