// The upload rules and the digest for resumable uploads: the size rule
// when the length is known (at creation, or when a deferred length is
// given), and the type rules and SHA-256 once the last byte is in, read
// from the staged data file (its bytes came over several requests, so no
// one stream saw them all).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RULES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RULES_H_

#include <cstdint>
#include <optional>
#include <string>

#include "server/file_facts.h"
#include "server/refusal.h"
#include "server/upload_rules.h"

namespace zimrax::zmfile {

// 413 when `length` bytes pass rules.max_file_size; nullopt otherwise.
std::optional<Refusal> ResumableSizeRefusal(const UploadRules& rules, std::uint64_t length);

struct StagedFileCheck {
  FileFacts facts;                 // size, content type (when sniffed), sha256 (when on)
  std::optional<Refusal> refusal;  // 415 by the type rules, 500 when the file cannot be read
};

// The facts of the complete staged file at `path` (its size; its first
// kMaxSniffBytes read by libmagic when the rules need its type; its SHA-256,
// reading it whole once, when the digest is on), and the type rules applied
// under the stored part of `client_name`. Nothing is read when no rule or
// fact needs it. The size rule is applied as the data comes, not here.
StagedFileCheck CheckStagedFile(const UploadRules& rules, const std::string& path, const std::string& client_name);

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_RESUMABLE_RULES_H_
