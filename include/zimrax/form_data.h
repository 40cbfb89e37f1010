// The typed API of the upload component, over the raw body of a
// multipart/form-data POST held in memory. No exceptions, no hidden state:
// each call reads its arguments and, for FileSave, the destination
// directory, and reports through the OperationResult it returns.
//
//   std::span<const std::uint8_t> body = ...;  // the request body as received
//   zimrax::OperationResult title = zimrax::FormFieldValue(body, "title");
//   zimrax::OperationResult saved =
//       zimrax::FileSave(body, "upload1", "/srv/uploads", zimrax::ConflictPolicy::kMakeUnique);
//   if (saved.ok()) std::cout << "stored as " << saved.stored_name << '\n';
//
// Thread safety: calls share nothing and may run concurrently, also into
// one directory; a file is published under a name only while it is free.
#ifndef ZIMRAX_FORM_DATA_H_
#define ZIMRAX_FORM_DATA_H_

#include <cstdint>
#include <span>
#include <string_view>

#include "zimrax/conflict_policy.h"
#include "zimrax/export.h"
#include "zimrax/operation_result.h"
#include "zimrax/save_options.h"

namespace zimrax {

// Stores the file of the file-upload field `field_name` in `directory`
// under the file name the browser sent (its last "\" or "/" piece), and
// returns the stored name. The file appears only when complete; on any
// failure nothing is left behind. Codes: 101-106 and platform error
// numbers; faults: kSubscriptOutOfRange (an unclosed name), kOverflow
// (every "makeunique" number taken).
ZIMRAX_EXPORT OperationResult FileSave(std::span<const std::uint8_t> body, std::string_view field_name,
                         std::string_view directory, ConflictPolicy policy = ConflictPolicy::kError);

// FileSave with `options`: with options.durable, the stored file and its
// name are on the device when the call returns.
ZIMRAX_EXPORT OperationResult FileSave(std::span<const std::uint8_t> body, std::string_view field_name,
                                       std::string_view directory, ConflictPolicy policy,
                                       const SaveOptions& options);

// Returns the value of the field `field_name`; for a file-upload field, the
// file name the browser sent, unchanged. Codes: 101, 102, 104, 105; fault:
// kSubscriptOutOfRange (an unclosed name).
ZIMRAX_EXPORT OperationResult FormFieldValue(std::span<const std::uint8_t> body, std::string_view field_name);

}  // namespace zimrax

#endif  // ZIMRAX_FORM_DATA_H_
