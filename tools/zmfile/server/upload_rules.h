// The rules every uploaded file passes before it is published (--max-file-size,
// --max-files, --allow-types, --deny-types, --strict-types), and the facts
// the server gathers about each file as it streams (--digest, and the
// content's type for the type rules and the hooks).
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULES_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULES_H_

#include <cstddef>
#include <cstdint>

#include "type_rules.h"

namespace zimrax::zmfile {

struct UploadRules {
  std::uint64_t max_file_size = 0;  // bytes of one file's data; 0 for no limit (413 past it)
  std::size_t max_files = 0;        // files stored from one form; 0 for no limit (413 past it)
  TypeRules types;                  // 415 for a file they refuse
  bool digest = false;              // SHA-256 of each file, computed as it streams
  bool content_type = false;        // libmagic's type of each file even without a type rule

  // For code that needs a fact of every file (the hooks): turns it on
  // whatever the options said.
  void RequireDigest() { digest = true; }
  void RequireContentType() { content_type = true; }

  // libmagic reads each file's first bytes.
  bool SniffsContent() const { return content_type || types.NeedsContentType(); }
  // Some rule or fact needs to see the files' data as it streams.
  bool WatchesData() const { return max_file_size > 0 || max_files > 0 || digest || SniffsContent(); }
  bool empty() const { return !WatchesData() && types.empty(); }
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_RULES_H_
