// Runs one upload through the component, as a page script would: a new
// ZmFile from the ProgID factory, the form's policy and comment read with
// ZmFormFieldValue, and the file stored with ZmFileSave.
#ifndef ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOADER_H_
#define ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOADER_H_

#include <cstdint>
#include <span>
#include <string>

#include "server/upload_report.h"

namespace zimrax::zmfile {

inline constexpr const char* kFileField = "upload1";
inline constexpr const char* kCommentField = "comment";
inline constexpr const char* kConflictField = "conflict";

class Uploader {
 public:
  // REQUIRES: `dir` is an existing directory; `default_conflict` is the
  // policy used when the form sends no (or an empty) conflict field.
  // `durable`: every file is synced to the device before Run returns.
  Uploader(std::string dir, std::string default_conflict, bool durable = false);

  // Stores the upload1 file of `body`. Never throws: a fault of the
  // component ends up in the report. Safe to call from several threads at
  // once: each call has its own object, and the component publishes a file
  // under a name only if that name is still free at that moment.
  UploadReport Run(std::span<const std::uint8_t> body) const;

 private:
  const std::string dir_;
  const std::string default_conflict_;
  const bool durable_;
};

}  // namespace zimrax::zmfile

#endif  // ZIMRAX_TOOLS_ZMFILE_SERVER_UPLOADER_H_
