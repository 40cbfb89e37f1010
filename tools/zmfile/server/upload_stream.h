// One upload through the component as its body arrives: the file fields
// upload1 to upload100 go to disk once, as they come; the conflict and
// comment fields and the client's file names are read alongside; Finish
// decides and publishes, file by file in field order, with the same
// outcomes as the whole-body operations.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_STREAM_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "server/delimiter_check.h"
#include "server/file_facts.h"
#include "server/file_inspector.h"
#include "server/upload_report.h"
#include "server/upload_rules.h"
#include "zimrax/form_stream.h"

namespace zimrax::zmfile {

inline constexpr const char* kFileField = "upload1";
// The file fields stored: "upload1" to "upload" + kMaxFileFields.
inline constexpr int kMaxFileFields = 100;
inline constexpr const char* kCommentField = "comment";
inline constexpr const char* kConflictField = "conflict";
// The longest conflict value kept: longer text is no policy anyway.
inline constexpr std::size_t kMaxConflictValue = 64;
// The longest client file name kept, per file field: past it no file
// system holds the name (the stored part is at most 255 bytes). With
// kMaxFileFields fields, the names held stay under 100 KiB per upload.
inline constexpr std::size_t kMaxClientName = 1024;

// "upload1", "upload2", ... "upload100".
std::vector<std::string> FileFieldNames();

struct UploadLimits {
  std::size_t max_first_line = kDefaultMaxFirstLine;
  std::size_t max_comment = 64 * 1024;
  bool durable = false;  // the file is synced to the device, then its directory, before it is published
  // The policies the form's conflict field may name (lower case); any other
  // value is refused with 400 and nothing is stored. The messages offer
  // only these after a 106.
  std::vector<std::string> client_conflicts = {"error", "makeunique"};
  // Asked before each file's temporary file is made (FormStreamOptions):
  // false fails that file with 67, as when descriptors run out.
  std::function<bool()> may_open_file;
  // The rules each file passes before it is published; null for none.
  // REQUIRES: they outlive the stream.
  const UploadRules* rules = nullptr;
  // Run on the files that pass the rules, just before they are published.
  PrePublishCheck before_publish;
};

class UploadStream {
 public:
  // REQUIRES: `dir` is an existing directory; `default_conflict` is the
  // policy used when the form sends no (or an empty) conflict field, and
  // is not limited by limits.client_conflicts.
  UploadStream(const std::string& dir, const std::string& default_conflict, const UploadLimits& limits);
  UploadStream(const UploadStream&) = delete;
  UploadStream& operator=(const UploadStream&) = delete;

  // Takes the next piece of the body.
  void Feed(std::span<const std::uint8_t> piece);
  // Ends the body: refuses the whole request, or stores each file field
  // under the form's policy. A file refused (its name a path or hidden, or
  // taken under "error") stores nothing of itself, and the files after it
  // are still stored: each has its own entry in the report. Never throws:
  // a fault of the component ends up in the report.
  UploadReport Finish();
  // Ends the body without storing anything; nothing is left behind.
  void Abort();

 private:
  const std::string default_conflict_;
  const std::vector<std::string> client_conflicts_;
  const std::size_t max_first_line_;
  const UploadRules* rules_;
  PrePublishCheck before_publish_;
  // Sees the files' data as it streams, when rules or the check need it.
  // Made before the stream, whose tap it is.
  std::unique_ptr<FileInspector> inspector_;
  // One pass over the body. It finishes in two steps: the values first (the
  // conflict field, the client's file names), then, once each file is
  // judged by its name (a refused one is discarded, not published), the
  // files. It holds one descriptor of the directory and one temporary file (one
  // descriptor) per file field whose data has begun, until Finish.
  FormStream stream_;
  DelimiterCheck delimiter_check_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOAD_STREAM_H_
