// What the server knows of one uploaded file just before it is published,
// and the point where it may still refuse it: the pre-publish check that
// hooks plug into.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "server/refusal.h"

namespace zimrax::zmfile {

struct FileFacts {
  std::string field;        // "upload1" to "upload100"
  std::string client_name;  // the file name as the client sent it, path and all
  // The name it is to be stored under: the client name's last part. Under
  // "makeunique" the published name may get a number added if it is taken.
  std::string stored_name;
  std::uint64_t size = 0;   // bytes of data
  std::string mime_type;    // libmagic's type of the first bytes; "" unless UploadRules::SniffsContent
  std::string sha256;       // 64 lower-case hex digits; "" unless UploadRules::digest
  // Set by a pre-publish check to refuse the file: it is then removed and
  // never published, and its "Files" entry gives the refusal.
  std::optional<Refusal> refusal;
};

// One upload's files that passed every rule, just before any is published.
struct PrePublish {
  std::vector<FileFacts> files;  // in field order
  std::string comment;           // the form's comment field, "" when absent
  std::string conflict;          // the policy they will be published under (lower case)
};

// Runs on the thread that finishes the upload (it may block it). Refuses
// files by setting their `refusal`; it must not add, remove or reorder
// files. An exception from it refuses every file of the upload with 500.
using PrePublishCheck = std::function<void(PrePublish& upload)>;

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_
