// What one upload's rules see of its files' data as it streams: each
// file's size (refused at once past --max-file-size), its SHA-256, and its
// first bytes for libmagic. It is the component's per-file data tap
// (FormStreamOptions::on_file_data).
//
// Memory: the first bytes of at most one file are held at a time (up to
// kMaxSniffBytes): when a file's data begins, the others' are read by
// libmagic and dropped.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_INSPECTOR_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_INSPECTOR_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "server/upload_rules.h"
#include "sha256_digest.h"

namespace zimrax::zmfile {

class FileInspector {
 public:
  // What was seen of one file field's data.
  struct Seen {
    bool started = false;       // its data began (it is being stored)
    std::uint64_t size = 0;     // bytes seen; past max_file_size the count stops
    bool too_large = false;     // passed max_file_size: the field was dropped
    std::string mime_type;      // after Settle, when the rules sniff content
    // Set when the first kMaxSniffBytes were read and the content's type
    // is refused by the type lists (ContentTypeRefusal): the field was
    // dropped then, and the rest of its data was not written.
    std::optional<std::string> type_refusal;
    std::string sha256;         // after Settle, with the digest on
  };

  // REQUIRES: `rules` outlives the inspector.
  FileInspector(const UploadRules& rules, std::size_t fields);
  FileInspector(const FileInspector&) = delete;
  FileInspector& operator=(const FileInspector&) = delete;
  ~FileInspector();

  // The tap: data of field `field` (empty when its data begins). False
  // drops the field: it passed max_file_size, or its first
  // kMaxSniffBytes showed a content type the lists refuse. Never throws.
  bool OnData(std::size_t field, std::span<const std::uint8_t> data) noexcept;
  // Finishes the type and digest of every field; call once the body has
  // ended (after FormStream::FinishValues).
  void Settle();

  const Seen& Field(std::size_t field) const;

 private:
  struct State;
  void SettleType(std::size_t field);

  const UploadRules& rules_;
  std::vector<Seen> seen_;
  std::vector<std::unique_ptr<State>> states_;  // made when a field's data begins
  std::vector<std::uint8_t> prefix_;            // the first bytes of field prefix_field_
  std::optional<std::size_t> prefix_field_;     // the field whose type is not read yet
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_FILE_INSPECTOR_H_
