#include "server/resumable_rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "content_sniffer.h"
#include "server/file_name_rules.h"
#include "sha256_digest.h"
#include "type_rules.h"

namespace zimrax::zmfile {
namespace {

constexpr std::size_t kReadBlock = 256 * 1024;

Refusal TooLarge(std::uint64_t limit) {
  return Refusal{413, "The file is larger than this server takes per file, " + std::to_string(limit) + " bytes.",
                 RefusalKind::kFileTooLarge};
}

// Reads what `rules` need of the file at `path` into `check`: the whole of
// it when `reads_all`, else its first kMaxSniffBytes.
void ReadStagedFile(const UploadRules& rules, const std::string& path, bool reads_all, StagedFileCheck& check) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    check.refusal = Refusal{500, std::string("Could not read the upload: ") + std::strerror(errno),
                            RefusalKind::kInternal};
    return;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0) check.facts.size = static_cast<std::uint64_t>(status.st_size);
  Sha256Digest digest;
  std::vector<std::uint8_t> prefix;
  std::vector<std::uint8_t> block(kReadBlock);
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      check.refusal = Refusal{500, std::string("Could not read the upload: ") + std::strerror(errno),
                              RefusalKind::kInternal};
      break;
    }
    if (n == 0) break;
    const std::span<const std::uint8_t> bytes(block.data(), static_cast<std::size_t>(n));
    if (rules.digest) digest.Update(bytes);
    if (rules.SniffsContent() && prefix.size() < kMaxSniffBytes) {
      const std::size_t take = std::min(bytes.size(), kMaxSniffBytes - prefix.size());
      prefix.insert(prefix.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(take));
    }
    if (!reads_all && prefix.size() >= kMaxSniffBytes) break;
  }
  ::close(fd);
  if (check.refusal) return;
  if (rules.SniffsContent()) check.facts.mime_type = SniffMimeType(prefix);
  if (rules.digest) check.facts.sha256 = digest.FinishHex();
}

}  // namespace

std::optional<Refusal> ResumableSizeRefusal(const UploadRules& rules, std::uint64_t length) {
  if (rules.max_file_size > 0 && length > rules.max_file_size) return TooLarge(rules.max_file_size);
  return std::nullopt;
}

StagedFileCheck CheckStagedFile(const UploadRules& rules, const std::string& path, const std::string& client_name) {
  StagedFileCheck check;
  check.facts.client_name = client_name;
  check.facts.stored_name = std::string(StoredPartOfClientName(client_name));
  // The size rule was kept as the data came (resumable_patch.cc); the
  // file is read again here only for its digest or its type.
  if (rules.digest || rules.SniffsContent()) ReadStagedFile(rules, path, rules.digest, check);
  if (check.refusal) return check;
  if (!rules.types.empty()) {
    if (std::optional<std::string> why =
            TypeRefusal(rules.types, ExtensionOf(check.facts.stored_name), check.facts.mime_type)) {
      check.refusal = Refusal{415, std::move(*why), RefusalKind::kFileType};
    }
  }
  return check;
}

}  // namespace zimrax::zmfile
