// What a hook is told about each file of a form, gathered as the body
// streams by, beside the component: each file field's size, SHA-256 and
// MIME type, and the form's value fields. A second walk of the same pieces
// (the library's PartStream, tapping only), so it costs nothing unless
// hooks are configured.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "server/sha256_digest.h"
#include "zimrax/part_stream.h"

namespace zimrax::zmfile {

struct FileFacts {
  std::uint64_t size = 0;
  std::string sha256;     // 64 hex digits
  std::string mime_type;  // libmagic's, "" when unknown
  // A descriptor of a copy of the file's bytes (an unnamed temporary file,
  // owned by the tap), or -1: not asked for, or the copy failed.
  int data_fd = -1;
};

// The form's value fields kept for the hooks: at most this many, each at
// most kMaxHookFieldValue bytes (a longer one is kept with an empty value).
inline constexpr std::size_t kMaxHookFields = 32;
inline constexpr std::size_t kMaxHookFieldValue = 4 * 1024;

class FileFactsTap {
 public:
  // `file_fields`: the names whose first part is a file the server stores.
  // With a `spool_dir`, each file's bytes are also copied into an unnamed
  // temporary file there (for a pre-hook that reads them).
  // REQUIRES: max_first_line is the component's.
  FileFactsTap(std::vector<std::string> file_fields, std::size_t max_first_line, std::string spool_dir = "");
  ~FileFactsTap();
  FileFactsTap(const FileFactsTap&) = delete;
  FileFactsTap& operator=(const FileFactsTap&) = delete;

  // Takes the next piece of the body, as the component gets it.
  void Feed(std::span<const std::uint8_t> piece);
  // Ends the body. REQUIRES: called once, after the last Feed.
  void Finish();

  // After Finish: the facts of the file field `field`'s data, null when
  // it had none. Valid while the tap lives.
  const FileFacts* Facts(const std::string& field) const;
  // After Finish: the value fields (not file fields, no file name), in body order.
  const std::vector<std::pair<std::string, std::string>>& fields() const { return fields_; }

 private:
  class Handler;

  std::unique_ptr<Handler> handler_;
  PartStream stream_;
  std::vector<std::pair<std::string, std::string>> fields_;
  bool finished_ = false;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_FACTS_H_
